#include "sessionlock.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "registryentry.h"

namespace usbbridge {

SessionLock::~SessionLock()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string SessionLock::path_in(const std::string &registry_root)
{
    return registry_root + "/.qel-usb-bridge.lock";
}

SessionLock::Outcome SessionLock::take(const std::string &registry_root, std::string *error)
{
    if (!qeldriver::prepare_registry_root(registry_root, error))
        return FAILED;
    const std::string path = path_in(registry_root);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return FAILED;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        close(fd);
        if (why == EWOULDBLOCK)
            return HELD_ELSEWHERE;
        *error = "cannot lock " + path + ": " + std::strerror(why);
        return FAILED;
    }
    fd_ = fd;
    return TAKEN;
}

} // namespace usbbridge
