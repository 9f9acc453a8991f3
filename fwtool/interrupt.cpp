#include "interrupt.h"

#include <atomic>
#include <csignal>

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

} // namespace fwtool
