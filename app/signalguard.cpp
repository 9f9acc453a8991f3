#include "signalguard.h"

#include <QSocketNotifier>
#include <QtGlobal>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

SignalGuard::SignalGuard(QObject *parent)
    : QObject(parent)
{
}

SignalGuard::~SignalGuard() = default;

void SignalGuard::drain()
{
}

#else

namespace {

const int kSignals[] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT };
int g_pipe[2] = { -1, -1 };

void on_signal(int signo)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    // A full pipe already holds enough to wake the window; the byte is lost,
    // not the program.
    const ssize_t ignored = ::write(g_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

} // namespace

SignalGuard::SignalGuard(QObject *parent)
    : QObject(parent)
{
    if (g_pipe[0] >= 0 || ::pipe(g_pipe) != 0) {
        qWarning("Signals are not caught: %s", g_pipe[0] >= 0 ? "a guard exists already" : strerror(errno));
        return;
    }
    for (int fd : g_pipe)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(g_pipe[0], F_SETFL, O_NONBLOCK);
    ::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });

    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // The update's thread waits in poll and sleeps; restarted calls keep a
    // signal from turning into a failed request.
    sa.sa_flags = SA_RESTART;
    for (int signo : kSignals)
        sigaction(signo, &sa, nullptr);
}

SignalGuard::~SignalGuard()
{
    if (!notifier_)
        return;
    for (int signo : kSignals)
        signal(signo, SIG_DFL);
    delete notifier_;
    notifier_ = nullptr;
    for (int &fd : g_pipe) {
        ::close(fd);
        fd = -1;
    }
}

void SignalGuard::drain()
{
    unsigned char bytes[64];
    for (;;) {
        const ssize_t n = ::read(g_pipe[0], bytes, sizeof bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i)
            emit received(bytes[i]);
    }
}

#endif
