#include "tcprelay.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "channelwire.h"
#include "driverside.h"

namespace qelrelay {

namespace {

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t le32(const uint8_t *p)
{
    return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool wait_for(int fd, short events, int64_t deadline)
{
    for (;;) {
        const int64_t left = deadline - now_ms();
        if (left <= 0)
            return false;
        pollfd p = { fd, events, 0 };
        const int n = poll(&p, 1, int(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool read_exact(int fd, uint8_t *p, size_t n, int64_t deadline)
{
    while (n) {
        if (!wait_for(fd, POLLIN, deadline))
            return false;
        const ssize_t k = recv(fd, p, n, MSG_DONTWAIT);
        if (k < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

bool write_all(int fd, const uint8_t *p, size_t n, int64_t deadline)
{
    while (n) {
        if (!wait_for(fd, POLLOUT, deadline))
            return false;
        const ssize_t k = send(fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (k < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

void answer(int client, uint32_t error, int64_t deadline)
{
    qeldriver::Outcome outcome;
    outcome.error = error;
    const std::vector<uint8_t> reply = qeldriver::encode_reply(outcome);
    write_all(client, reply.data(), reply.size(), deadline);
}

int connect_channel(const std::string &path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TcpRelay::~TcpRelay()
{
    if (listen_fd_ >= 0)
        close(listen_fd_);
}

bool TcpRelay::listen(uint16_t port, std::string *error)
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    // Loopback only: the relay is a way into the device for anyone who reaches it.
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(listen_fd_, 16) != 0
        || getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        *error = "127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        close(listen_fd_);
        listen_fd_ = -1;
        return false;
    }
    port_ = ntohs(addr.sin_port);
    return true;
}

bool TcpRelay::serve_one()
{
    const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return errno == EINTR || errno == ECONNABORTED;
    serve(client);
    close(client);
    return true;
}

void TcpRelay::serve(int client)
{
    int64_t deadline = now_ms() + timeout_ms_;
    uint8_t header[QEL_CHANNEL_REQUEST_HEADER];
    if (!read_exact(client, header, sizeof header, deadline))
        return;
    const long n = qeldriver::input_expected(header);
    if (n < 0)
        return answer(client, EINVAL, deadline);
    std::vector<uint8_t> request(header, header + sizeof header);
    request.resize(sizeof header + size_t(n));
    if (!read_exact(client, request.data() + sizeof header, size_t(n), deadline))
        return;

    // A channel that does not open is a device that is no longer there.
    const int device = connect_channel(channel_);
    if (device < 0)
        return answer(client, ENODEV, deadline);
    deadline = now_ms() + timeout_ms_;
    uint8_t reply[QEL_CHANNEL_REPLY_HEADER];
    std::vector<uint8_t> bytes;
    bool whole = write_all(device, request.data(), request.size(), deadline)
                 && read_exact(device, reply, sizeof reply, deadline)
                 && std::memcmp(reply, QEL_CHANNEL_REPLY_MAGIC, QEL_CHANNEL_MAGIC_SIZE) == 0
                 && le32(reply + QEL_CHANNEL_REPLY_COUNT_AT) <= QEL_CHANNEL_MAX_OUTPUT;
    if (whole) {
        bytes.resize(le32(reply + QEL_CHANNEL_REPLY_COUNT_AT));
        whole = read_exact(device, bytes.data(), bytes.size(), deadline);
    }
    close(device);
    // A broken reply is not passed on: the driver sees the connection end.
    if (!whole)
        return;
    deadline = now_ms() + timeout_ms_;
    if (write_all(client, reply, sizeof reply, deadline))
        write_all(client, bytes.data(), bytes.size(), deadline);
}

} // namespace qelrelay
