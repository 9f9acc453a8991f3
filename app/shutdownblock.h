// Holds off a logout or shutdown for as long as it lives, while the device is
// being written. On Windows the system asks every top-level window whether it
// may end the session: the program says no (WM_QUERYENDSESSION answered
// FALSE) and names its reason, which Windows shows to the user. A program
// without a window of its own (the command-line updater in a console) gets a
// hidden one for that, since a console's own handler cannot refuse. Elsewhere
// the update's sleep block asks the login manager to hold shutdown too, so
// this does nothing there.
#ifndef APP_SHUTDOWNBLOCK_H
#define APP_SHUTDOWNBLOCK_H

#include <QtGlobal>

class ShutdownBlock {
public:
    // window: the program's top-level window (its native id), or 0 for a
    // hidden one made here. Made and destroyed on a thread that runs an
    // event loop, which is where the system's question is answered.
    explicit ShutdownBlock(quintptr window = 0);
    ~ShutdownBlock();

    ShutdownBlock(const ShutdownBlock &) = delete;
    ShutdownBlock &operator=(const ShutdownBlock &) = delete;

    // Whether a block is alive in this program: what the answer to the
    // system's question depends on.
    static bool any();
    // The hidden window made for a program without one (0 when none was).
    quintptr hidden_window() const { return own_ ? window_ : 0; }

private:
    quintptr window_;
    bool own_ = false;
};

#endif
