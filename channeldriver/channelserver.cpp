#include "channelserver.h"

#include <cerrno>
#include <chrono>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "channelwire.h"

namespace qeldriver {

namespace {

// How long a client may take to send its request, and to take its reply.
const int k_request_limit_ms = QEL_CHANNEL_TIME_LIMIT_MS;

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

bool ChannelServer::wait_for(int fd, short events, int64_t deadline) const
{
    std::vector<pollfd> p = { { fd, events, 0 } };
    if (stop_)
        stop_->add_pollfds(&p);
    for (;;) {
        if (stop_ && stop_->due())
            return false;
        const int64_t left = deadline - now_ms();
        if (left <= 0)
            return false;
        for (pollfd &q : p)
            q.revents = 0;
        const int r = poll(p.data(), p.size(), static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        if (stop_ && p.size() > 1) {
            stop_->take(&p[1]);
            // Standard input, once ended, is polled no more.
            p.resize(1);
            stop_->add_pollfds(&p);
            if (stop_->due())
                return false;
        }
        if (p[0].revents)
            return true;
    }
}

bool ChannelServer::read_exact(int fd, uint8_t *p, size_t n, int64_t deadline) const
{
    while (n > 0) {
        if (!wait_for(fd, POLLIN, deadline))
            return false;
        const ssize_t r = read(fd, p, n);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool ChannelServer::write_all(int fd, const uint8_t *p, size_t n, int64_t deadline) const
{
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (!wait_for(fd, POLLOUT, deadline))
                return false;
            continue;
        }
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void ChannelServer::serve(int fd, const Handler &handle)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int64_t deadline = now_ms() + k_request_limit_ms;
    uint8_t header[QEL_CHANNEL_REQUEST_HEADER];
    if (!read_exact(fd, header, sizeof header, deadline))
        return note("connection closed before a whole request");
    const long expected = input_expected(header);
    std::vector<uint8_t> input(expected > 0 ? static_cast<size_t>(expected) : 0);
    if (expected > 0 && !read_exact(fd, input.data(), input.size(), deadline))
        return note("connection closed before a whole request");

    const Outcome outcome = handle(header, input.data(), input.size());
    // Logged before the reply goes out: a client holding its reply may read
    // the log and must find the request there.
    note(outcome.what + " -> error " + std::to_string(outcome.error) + ", "
         + std::to_string(outcome.bytes.size()) + " bytes");
    const std::vector<uint8_t> reply = encode_reply(outcome);
    write_all(fd, reply.data(), reply.size(), now_ms() + k_request_limit_ms);
}

void ChannelServer::note(const std::string &line)
{
    ++count_;
    if (log_) {
        std::fprintf(log_, "%lu %s\n", count_, line.c_str());
        std::fflush(log_);
    }
}

} // namespace qeldriver
