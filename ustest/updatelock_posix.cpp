// The update lock outside Windows: `<root>/<instance>/update.lock`, beside
// the device's `service` file, with an fcntl write lock on the whole file.
// fcntl locks, not flock: other programs taking the same lock use fcntl, and
// a driver side asks with F_GETLK without ever taking it.
#include "updatelock.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string lock_file_in(const std::string &device_dir)
{
    return device_dir + "/update.lock";
}

// The one shape of lock both the holder and the asker use: a write lock on
// the whole file.
struct flock whole_file_write_lock()
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

int fcntl_retrying(int fd, int command, struct flock *lock)
{
    int r;
    do {
        r = ::fcntl(fd, command, lock);
    } while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

std::string UpdateLock::path_for(const char *interface_path)
{
    // <root>/<instance>/render/<name>: the device's directory is two levels up.
    const std::string s = interface_path ? interface_path : "";
    const size_t name = s.rfind('/');
    if (name == std::string::npos || name == 0)
        return std::string();
    const size_t render = s.rfind('/', name - 1);
    if (render == std::string::npos || render == 0 || s.compare(render, name - render, "/render") != 0)
        return std::string();
    return lock_file_in(s.substr(0, render));
}

UpdateLock::State UpdateLock::take(const char *interface_path)
{
    release();
    const std::string path = path_for(interface_path);
    if (path.empty()) {
        error_ = EINVAL;
        return state_ = Unavailable;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error_ = static_cast<unsigned long>(errno);
        return state_ = Unavailable;
    }
    struct flock lock = whole_file_write_lock();
    if (fcntl_retrying(fd, F_SETLK, &lock) < 0) {
        const int why = errno;
        ::close(fd);
        error_ = static_cast<unsigned long>(why);
        return state_ = (why == EAGAIN || why == EACCES) ? Busy : Unavailable;
    }
    fd_ = fd;
    error_ = 0;
    return state_ = Held;
}

void UpdateLock::release()
{
    // Closing the descriptor gives the lock back; the file stays, as other
    // programs may hold it open at this very moment.
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    state_ = Released;
}

bool UpdateLock::held_elsewhere(const std::string &device_dir)
{
    if (device_dir.empty())
        return false;
    int fd;
    do {
        fd = ::open(lock_file_in(device_dir).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    struct flock lock = whole_file_write_lock();
    const int r = fcntl_retrying(fd, F_GETLK, &lock);
    ::close(fd);
    return r == 0 && lock.l_type != F_UNLCK;
}
