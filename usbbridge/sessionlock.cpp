#include "sessionlock.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "registryentry.h"

namespace fs = std::filesystem;

namespace usbbridge {

namespace {

int open_lock_file(const std::string &path)
{
    int fd;
    do {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int flock_retrying(int fd, int operation)
{
    int r;
    do {
        r = flock(fd, operation);
    } while (r != 0 && errno == EINTR);
    return r;
}

} // namespace

SessionLock::~SessionLock()
{
    // The session lock first: a waiting bridge, seeing the mark still held,
    // keeps waiting for the session lock instead of taking this one for a
    // serving bridge and leaving.
    if (fd_ >= 0)
        close(fd_);
    if (stopping_fd_ >= 0)
        close(stopping_fd_);
}

std::string SessionLock::path_in(const std::string &registry_root)
{
    return registry_root + "/.qel-usb-bridge.lock";
}

std::string SessionLock::stopping_path_in(const std::string &registry_root)
{
    return registry_root + "/.qel-usb-bridge.stopping";
}

// Asked with a shared lock that is let go at once; a stopping bridge holds
// it exclusively.
bool SessionLock::holder_stopping(const std::string &registry_root)
{
    const int fd = open_lock_file(stopping_path_in(registry_root));
    if (fd < 0)
        return false;
    const bool held = flock_retrying(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

SessionLock::Outcome SessionLock::take(const std::string &registry_root, std::string *error)
{
    if (held_)
        return TAKEN;
    if (!qeldriver::prepare_registry_root(registry_root, error))
        return FAILED;
    const std::string path = path_in(registry_root);
    if (fd_ < 0)
        fd_ = open_lock_file(path);
    if (fd_ < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return FAILED;
    }
    // Tried, then the mark asked, then tried again: a bridge that ended
    // between the first try and the question (mark gone, session free) is
    // not taken for a serving one. The stopping bridge takes its mark before
    // it lets go of the session lock, and lets go of the mark after.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (flock_retrying(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            root_ = registry_root;
            return TAKEN;
        }
        if (errno != EWOULDBLOCK) {
            *error = "cannot lock " + path + ": " + std::strerror(errno);
            return FAILED;
        }
        if (attempt == 0 && holder_stopping(registry_root))
            return HOLDER_STOPPING;
    }
    return HELD_ELSEWHERE;
}

void SessionLock::mark_stopping()
{
    if (!held_ || stopping_fd_ >= 0)
        return;
    stopping_fd_ = open_lock_file(stopping_path_in(root_));
    // Another bridge asking holds it shared for a moment only.
    if (stopping_fd_ >= 0)
        flock_retrying(stopping_fd_, LOCK_EX);
}

std::vector<std::string> SessionLock::remove_stale_entries()
{
    std::vector<std::string> removed;
    if (!held_)
        return removed;
    std::vector<fs::path> stale;
    std::error_code ec;
    for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("usb-", 0) == 0 || name.rfind(".usb-", 0) == 0)
            stale.push_back(it->path());
    }
    // remove_all takes a link away without following it.
    for (const fs::path &p : stale)
        if (fs::remove_all(p, ec) > 0)
            removed.push_back(p.filename().string());
    return removed;
}

} // namespace usbbridge
