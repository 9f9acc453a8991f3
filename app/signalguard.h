// Turns the signals that would end the window (Ctrl-C or Ctrl-\ in its
// terminal, a hangup, a plain kill) into a Qt signal on the main thread, so
// that the window decides what they mean: end the program while idle, or be
// refused while an update runs. A handler may not touch Qt, so it only
// writes the signal's number into a pipe that a socket notifier reads.
// Outside POSIX systems there is nothing to catch and it never fires.
#ifndef APP_SIGNALGUARD_H
#define APP_SIGNALGUARD_H

#include <QObject>

class QSocketNotifier;

class SignalGuard : public QObject {
    Q_OBJECT

public:
    // One guard per program: it takes SIGINT, SIGTERM, SIGHUP and SIGQUIT
    // over, also when they were ignored at the start (a shell's background
    // job), and gives them their default action back when destroyed.
    explicit SignalGuard(QObject *parent = nullptr);
    ~SignalGuard() override;

    SignalGuard(const SignalGuard &) = delete;
    SignalGuard &operator=(const SignalGuard &) = delete;

    bool active() const { return notifier_ != nullptr; }

signals:
    void received(int signo);

private:
    void drain();

    QSocketNotifier *notifier_ = nullptr;
};

#endif
