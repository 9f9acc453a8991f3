#include <cstdio>

#include <QApplication>

#include "appicon.h"
#include "mainwindow.h"
#include "singleinstance.h"

int main(int argc, char *argv[])
{
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

    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    window.setWindowTitle(QCoreApplication::applicationName());
    window.show();
    return app.exec();
}
