#include "stoprequest.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace qeldriver {

namespace {

int g_stop_pipe[2] = { -1, -1 };

void on_signal(int)
{
    const int saved = errno;
    const char byte = 1;
    const ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

} // namespace

bool StopRequest::install(std::string *error)
{
    if (g_stop_pipe[0] < 0) {
        if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            *error = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : { SIGINT, SIGTERM, SIGHUP, SIGQUIT })
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void StopRequest::add_pollfds(std::vector<pollfd> *fds) const
{
    fds->push_back({ g_stop_pipe[0], POLLIN, 0 });
    // Once ended, standard input stays readable: it is polled no more.
    fds->push_back({ stdin_watched_ && !stdin_ended_ ? 0 : -1, POLLIN, 0 });
}

void StopRequest::take(const pollfd *first)
{
    if (first[0].revents)
        take_signals();
    if (first[1].fd >= 0 && first[1].revents)
        take_stdin();
}

void StopRequest::take_now()
{
    std::vector<pollfd> fds;
    add_pollfds(&fds);
    int r;
    do {
        r = poll(fds.data(), fds.size(), 0);
    } while (r < 0 && errno == EINTR);
    if (r > 0)
        take(fds.data());
}

void StopRequest::take_signals()
{
    char buf[64];
    ssize_t r;
    while ((r = read(g_stop_pipe[0], buf, sizeof buf)) > 0 || (r < 0 && errno == EINTR))
        if (r > 0)
            requested_ = true;
}

void StopRequest::take_stdin()
{
    char buf[512];
    const ssize_t r = read(0, buf, sizeof buf);
    if (r > 0 || (r < 0 && (errno == EINTR || errno == EAGAIN)))
        return;   // data is dropped; the end is what counts
    stdin_ended_ = true;
    requested_ = true;
}

} // namespace qeldriver
