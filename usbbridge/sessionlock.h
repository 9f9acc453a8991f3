// One bridge per session: two would both try to serve the same device, and
// the second would find its entries taken. The lock lives in the registry
// root under a dot-name, which clients skip, and is held for the bridge's
// whole life; the kernel lets go of it however the bridge ends.
#ifndef USBBRIDGE_SESSIONLOCK_H
#define USBBRIDGE_SESSIONLOCK_H

#include <string>

namespace usbbridge {

class SessionLock {
public:
    enum Outcome { TAKEN, HELD_ELSEWHERE, FAILED };

    SessionLock() = default;
    ~SessionLock();
    SessionLock(const SessionLock &) = delete;
    SessionLock &operator=(const SessionLock &) = delete;

    // *error is set for FAILED.
    Outcome take(const std::string &registry_root, std::string *error);

    static std::string path_in(const std::string &registry_root);

private:
    int fd_ = -1;
};

} // namespace usbbridge

#endif
