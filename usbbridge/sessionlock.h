// One bridge per session: two would both try to serve the same device, and
// the second would find its entries taken. The lock lives in the registry
// root under a dot-name, which clients skip, and is held for the bridge's
// whole life; the kernel lets go of it however the bridge ends.
//
// A bridge asked to stop may go on for minutes (it waits for a running
// update), so it says that it is stopping with a second lock, held from the
// moment it is asked to stop until it has ended and let go of the session
// lock. A new bridge that finds the session held by a stopping bridge waits
// for it and then serves; one that finds it held by a serving bridge leaves.
#ifndef USBBRIDGE_SESSIONLOCK_H
#define USBBRIDGE_SESSIONLOCK_H

#include <string>
#include <vector>

namespace usbbridge {

class SessionLock {
public:
    enum Outcome { TAKEN, HELD_ELSEWHERE, HOLDER_STOPPING, FAILED };

    SessionLock() = default;
    ~SessionLock();   // the session lock is let go first, the stopping mark last
    SessionLock(const SessionLock &) = delete;
    SessionLock &operator=(const SessionLock &) = delete;

    // Tries once, without waiting; may be called again after HOLDER_STOPPING.
    // *error is set for FAILED.
    Outcome take(const std::string &registry_root, std::string *error);

    // Marks this bridge, which holds the session lock, as stopping; once.
    void mark_stopping();

    // Removes the entries that a bridge makes (usb-*, and .usb-* being made)
    // from the registry: with the session lock held, any there were left by
    // a bridge that ended without removing them (killed, crashed). The names
    // removed; nothing when the lock is not held.
    std::vector<std::string> remove_stale_entries();

    static std::string path_in(const std::string &registry_root);
    static std::string stopping_path_in(const std::string &registry_root);

private:
    static bool holder_stopping(const std::string &registry_root);

    int fd_ = -1;
    int stopping_fd_ = -1;
    bool held_ = false;
    std::string root_;
};

} // namespace usbbridge

#endif
