#include "otherholder.h"

#ifdef _WIN32

bool OtherHolder::hold(const usbdevs_char *interface_path)
{
    return lock_.take(interface_path) == UpdateLock::Held;
}

void OtherHolder::release()
{
    lock_.release();
}

UpdateLock::State OtherHolder::probe(const usbdevs_char *interface_path)
{
    UpdateLock lock;
    return lock.take(interface_path);
}

#else

#include <cerrno>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// In the child: 0 held, 1 busy, 2 unavailable. Only calls that are safe
// after a fork of a process with threads.
int lock_in_child(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return 2;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &lock) == 0)
        return 0;
    return errno == EAGAIN || errno == EACCES ? 1 : 2;
}

} // namespace

bool OtherHolder::hold(const char *interface_path)
{
    release();
    const std::string path = UpdateLock::path_for(interface_path);
    int told[2], stay[2];
    if (path.empty() || ::pipe(told) != 0)
        return false;
    if (::pipe(stay) != 0) {
        ::close(told[0]);
        ::close(told[1]);
        return false;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(told[0]);
        ::close(stay[1]);
        const char state = char(lock_in_child(path.c_str()));
        if (::write(told[1], &state, 1) != 1)
            ::_exit(3);
        char byte;
        while (::read(stay[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);   // the lock goes with the process
    }
    ::close(told[1]);
    ::close(stay[0]);
    char state = 2;
    const bool answered = pid > 0 && ::read(told[0], &state, 1) == 1;
    ::close(told[0]);
    pid_ = pid;
    release_fd_ = stay[1];
    if (!answered || state != 0) {
        release();
        return false;
    }
    return true;
}

void OtherHolder::release()
{
    if (release_fd_ >= 0)
        ::close(release_fd_);
    release_fd_ = -1;
    if (pid_ > 0) {
        int status;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
}

UpdateLock::State OtherHolder::probe(const char *interface_path)
{
    const std::string path = UpdateLock::path_for(interface_path);
    if (path.empty())
        return UpdateLock::Unavailable;
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(lock_in_child(path.c_str()));
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid <= 0 || !WIFEXITED(status))
        return UpdateLock::Unavailable;
    switch (WEXITSTATUS(status)) {
    case 0: return UpdateLock::Held;
    case 1: return UpdateLock::Busy;
    default: return UpdateLock::Unavailable;
    }
}

#endif
