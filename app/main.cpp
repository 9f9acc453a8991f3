#include <csignal>
#include <cstdio>

#include <QApplication>

#include "appicon.h"
#include "mainwindow.h"
#include "signalguard.h"
#include "singleinstance.h"

int main(int argc, char *argv[])
{
#ifndef _WIN32
    // The device layer's trace goes to stdout, which may be a pipe whose
    // reader has gone (a pager the user quit): a reason to lose the trace,
    // never to end the program, least of all mid-update.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // The device layer prints its diagnostics with printf; without line
    // buffering they would arrive long after Qt's own messages. The Windows
    // C library has no line buffering, so there stdout goes unbuffered.
#ifdef _WIN32
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif

    QApplication app(argc, argv);
#ifndef Q_OS_WIN
    QApplication::setWindowIcon(app_icon());
#endif
#ifdef QEL_APP_ID
    // Lets the desktop tie the window to the installed desktop entry (its
    // name, icon and pinned launcher), whatever the executable is called.
    QGuiApplication::setDesktopFileName(QStringLiteral(QEL_APP_ID));
#endif

    // Built before the single-instance test, in every instance. The window
    // holds the 1 MiB image buffer; the executable reserves a main-thread
    // stack large enough for it.
    MainWindow window;

    SingleInstance instance(QCoreApplication::applicationName());
    if (instance.another_running())
        return -1;

    // From here on a signal no longer ends the program by itself: the window
    // decides, and never while the device is being written.
    SignalGuard signals_to_window;
    QObject::connect(&signals_to_window, &SignalGuard::received, &window,
                     [&window] { window.stop_requested(); });
    // Queued, so that a box the window shows at that moment unwinds first.
    window.closed_on_request = [] {
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    };

    QCoreApplication::setApplicationVersion(QStringLiteral(QEL_VERSION));
    window.setWindowTitle(QCoreApplication::applicationName());
    window.show();
    return app.exec();
}
