// One update of a device at a time, whoever starts it: the window, the
// command-line updater, a test. Two programs writing firmware into one device
// at once would both fail and leave it half written, and a driver side asked
// to stop must be able to see that an update is still running.
//
// Outside Windows the lock is an fcntl write lock on `update.lock` in the
// device's registry directory; on Windows a file named after the device in
// the user's local application data folder, opened without sharing. Either
// way the system lets go of it when its holder dies, so a killed updater
// never blocks the next one.
#ifndef USTEST_UPDATELOCK_H
#define USTEST_UPDATELOCK_H

#include <string>

#include "usbdevs.h"

class UpdateLock {
public:
    enum State {
        Released,      // not asked for yet, or given back
        Held,          // this program may update the device
        Busy,          // another program holds it: read and write nothing
        Unavailable,   // the lock cannot be had here (see error())
    };

    UpdateLock() = default;
    ~UpdateLock() { release(); }
    UpdateLock(const UpdateLock &) = delete;
    UpdateLock &operator=(const UpdateLock &) = delete;

    // Takes the lock of the device behind an interface path as the device
    // list gives it, without waiting. A lock held before is released first.
    State take(const usbdevs_char *interface_path);
    void release();

    State state() const { return state_; }
    bool busy() const { return state_ == Busy; }
    // The system's error number when the lock is Unavailable.
    unsigned long error() const { return error_; }
    // Where the lock lives for an interface path; empty when the path names
    // no device.
    static std::basic_string<usbdevs_char> path_for(const usbdevs_char *interface_path);
#ifndef _WIN32
    // Whether anybody holds the lock of the device whose registry directory
    // is device_dir, asked with F_GETLK: never taken, so an updater never
    // finds the device busy because of the question, and the file is neither
    // made nor followed through a link. What a driver side asks before it
    // stops.
    static bool held_elsewhere(const std::string &device_dir);
#endif

private:
    State state_ = Released;
    unsigned long error_ = 0;
#ifdef _WIN32
    void *handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

#endif
