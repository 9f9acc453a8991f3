#include "shutdownblock.h"

#include <atomic>

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
const wchar_t kReason[] = L"Installing firmware on the device. Turning the computer off now "
                          L"could leave the device unusable.";
const wchar_t kHiddenClass[] = L"QelUpdaterShutdownBlock";

bool refuses_end_session(UINT message)
{
    return message == WM_QUERYENDSESSION && g_blocks.load() > 0;
}

// Installed once, for the program's life: the question reaches the
// application's filter before any Qt window or the platform plugin answers it.
class EndSessionFilter : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray &type, void *message, long *result) override
    {
        if (type != "windows_generic_MSG"
            || !refuses_end_session(static_cast<const MSG *>(message)->message))
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

// The hidden window's messages are dispatched by the event loop of the thread
// that made it; the question is sent, so it reaches this procedure directly.
LRESULT CALLBACK hidden_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (refuses_end_session(message))
        return FALSE;
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

HWND make_hidden_window()
{
    static ATOM klass = 0;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!klass) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = hidden_procedure;
        wc.hInstance = instance;
        wc.lpszClassName = kHiddenClass;
        klass = RegisterClassW(&wc);
    }
    // A top-level window, never shown: a message-only window would not be
    // asked before the session ends.
    return klass ? CreateWindowExW(0, kHiddenClass, L"Qel firmware update", WS_OVERLAPPED, 0, 0,
                                   0, 0, nullptr, nullptr, instance, nullptr)
                 : nullptr;
}
#endif

} // namespace

ShutdownBlock::ShutdownBlock(quintptr window)
    : window_(window)
{
    ++g_blocks;
#ifdef Q_OS_WIN
    install_filter();
    if (!window_) {
        window_ = reinterpret_cast<quintptr>(make_hidden_window());
        own_ = window_ != 0;
    }
    if (window_)
        ShutdownBlockReasonCreate(reinterpret_cast<HWND>(window_), kReason);
#endif
}

ShutdownBlock::~ShutdownBlock()
{
#ifdef Q_OS_WIN
    if (window_)
        ShutdownBlockReasonDestroy(reinterpret_cast<HWND>(window_));
    if (own_)
        DestroyWindow(reinterpret_cast<HWND>(window_));
#endif
    --g_blocks;
}

bool ShutdownBlock::any()
{
    return g_blocks.load() > 0;
}
