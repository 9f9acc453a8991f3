// A device's update lock as another program holds it or asks for it. On POSIX
// systems fcntl locks of one process never conflict with each other, so the
// other program is a child process that only opens, locks and waits (nothing
// that could trip over locks the parent's threads held at the fork). On
// Windows a second opening without sharing conflicts within one process too.
#ifndef APP_TESTS_OTHERHOLDER_H
#define APP_TESTS_OTHERHOLDER_H

#include <string>

#include "updatelock.h"

class OtherHolder {
public:
    OtherHolder() = default;
    ~OtherHolder() { release(); }
    OtherHolder(const OtherHolder &) = delete;
    OtherHolder &operator=(const OtherHolder &) = delete;

    // Takes the lock of the device at interface_path and keeps it until
    // release(); true once it is held.
    bool hold(const usbdevs_char *interface_path);
    void release();

    // What another program finds when it asks now (and lets go at once).
    static UpdateLock::State probe(const usbdevs_char *interface_path);

private:
#ifdef _WIN32
    UpdateLock lock_;
#else
    int pid_ = -1;
    int release_fd_ = -1;
#endif
};

#endif
