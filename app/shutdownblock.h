// Holds off a logout or shutdown for as long as it lives, while the device is
// being written. On Windows the system asks every top-level window whether it
// may end the session: the window says no (WM_QUERYENDSESSION answered
// FALSE) and names its reason, which Windows shows to the user. Elsewhere the
// update's sleep block asks the login manager to hold shutdown too, so this
// does nothing there.
#ifndef APP_SHUTDOWNBLOCK_H
#define APP_SHUTDOWNBLOCK_H

#include <QtGlobal>

class QWidget;

class ShutdownBlock {
public:
    explicit ShutdownBlock(QWidget *window);
    ~ShutdownBlock();

    ShutdownBlock(const ShutdownBlock &) = delete;
    ShutdownBlock &operator=(const ShutdownBlock &) = delete;

    // Whether a block is alive in this program: what the answer to the
    // system's question depends on.
    static bool any();

private:
    QWidget *window_;
};

#endif
