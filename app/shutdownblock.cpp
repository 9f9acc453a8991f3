#include "shutdownblock.h"

#include <atomic>

#include <QWidget>

#ifdef Q_OS_WIN
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600   // ShutdownBlockReasonCreate came with Vista
#endif
#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#endif

namespace {

std::atomic<int> g_blocks{0};

#ifdef Q_OS_WIN
// Installed once, for the program's life: the question reaches the
// application's filter before any window or the platform plugin answers it.
class EndSessionFilter : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray &type, void *message, long *result) override
    {
        if (type != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_QUERYENDSESSION || g_blocks.load() == 0)
            return false;
        *result = FALSE;
        return true;
    }
};

void install_filter()
{
    static EndSessionFilter *filter = nullptr;
    if (!filter && QCoreApplication::instance()) {
        filter = new EndSessionFilter;
        QCoreApplication::instance()->installNativeEventFilter(filter);
    }
}
#endif

} // namespace

ShutdownBlock::ShutdownBlock(QWidget *window)
    : window_(window)
{
    ++g_blocks;
#ifdef Q_OS_WIN
    install_filter();
    if (window_)
        ShutdownBlockReasonCreate(reinterpret_cast<HWND>(window_->winId()),
                                  L"Installing firmware on the device. Turning the computer off "
                                  L"now could leave the device unusable.");
#endif
}

ShutdownBlock::~ShutdownBlock()
{
#ifdef Q_OS_WIN
    if (window_)
        ShutdownBlockReasonDestroy(reinterpret_cast<HWND>(window_->winId()));
#endif
    --g_blocks;
}

bool ShutdownBlock::any()
{
    return g_blocks.load() > 0;
}
