// The console seam on Linux and other POSIX systems: signals, file
// descriptors and the terminal's own escape sequences.
#include "console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace fwtool {

namespace {

std::atomic<int> g_protect{0};
std::atomic<int> g_warned{0};
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the signal handler needs lock-free atomics");

const char k_warning[] = "An update is running; stopping now could leave the device unusable. "
                         "It will finish by itself.\n";

void on_signal(int signo)
{
    if (!g_protect.load()) {
        // Only the keyboard's signals end the program this way; the others
        // keep their usual meaning before the transfer.
        if (signo == SIGINT || signo == SIGQUIT)
            _exit(130);
        signal(signo, SIG_DFL);
        raise(signo);
        return;
    }
    if (g_warned.exchange(1) == 0) {
        const ssize_t ignored = write(STDERR_FILENO, k_warning, sizeof k_warning - 1);
        (void)ignored;
    }
}

} // namespace

std::vector<std::string> command_arguments(int argc, char **argv)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

void interrupt_install()
{
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // Ctrl+\ is as near to hand as Ctrl+C, and its default would leave the
    // device half written.
    sigaction(SIGQUIT, &sa, nullptr);
    // A reader that went away (| head, a pager quit) must not end the
    // program: the failed write is dropped instead.
    signal(SIGPIPE, SIG_IGN);
}

void interrupt_protect(bool on)
{
    g_protect.store(on ? 1 : 0);
}

bool stdin_is_terminal()
{
    return isatty(STDIN_FILENO) == 1;
}

bool stderr_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

std::FILE *create_text_file(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    std::FILE *file = ::fdopen(fd, "w");
    if (!file)
        ::close(fd);
    return file;
}

void write_raw(Stream stream, const char *p, size_t left)
{
    const int fd = stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;   // a closed pipe is no reason to stop an update
        p += n;
        left -= size_t(n);
    }
}

std::string redrawn_line(const std::string &line, size_t)
{
    return "\r" + line + "\033[K";
}

std::string erased_line(size_t)
{
    return "\r\033[K";
}

std::string read_answer()
{
    std::string answer;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        answer += c;
    }
    return answer;
}

} // namespace fwtool
