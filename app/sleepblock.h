// Keeps the computer awake and running for as long as it lives: sleep, a
// logout or a shutdown in the middle of a firmware update would cut the
// transfer and leave the device without working firmware. Made and destroyed
// on the thread that runs the update. On Windows a logout or shutdown is held
// off by the window (ShutdownBlock), since the system asks windows, not
// threads.
#ifndef APP_SLEEPBLOCK_H
#define APP_SLEEPBLOCK_H

#include <QtGlobal>

class SleepBlock {
public:
    // Asks the system to stay awake. Where that cannot be had (no system
    // bus, no login manager, or a refusal) the update goes ahead all the
    // same, with one line in the debug output.
    SleepBlock();
    ~SleepBlock();

    SleepBlock(const SleepBlock &) = delete;
    SleepBlock &operator=(const SleepBlock &) = delete;

    bool held() const { return held_; }

private:
    bool held_ = false;
#ifndef Q_OS_WIN
    // The login manager keeps the lock for as long as this stays open.
    int lock_fd_ = -1;
#endif
};

#endif
