#include "singleinstance.h"

#ifndef Q_OS_WIN
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#endif

#ifndef Q_OS_WIN
namespace {

int open_marker_lock(const QString &name, bool *held_elsewhere)
{
    *held_elsewhere = false;
    const QString dir = single_instance_marker_dir();
    if (dir.isEmpty())
        return -1;
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + name
                                              + QStringLiteral("_shmem.lock"));
    // Close-on-exec: a program started by the updater must not inherit the
    // lock and keep it after the updater has gone.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return fd;
    *held_elsewhere = errno == EWOULDBLOCK;
    ::close(fd);
    return -1;
}

} // namespace

QString single_instance_marker_dir()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat st;
    if (runtime.startsWith('/') && ::stat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return QFile::decodeName(runtime);

    // Under the shared temporary directory only a directory of our own will
    // do: anyone else could otherwise hold or replace the lock file.
    const QString dir = QDir::tempPath() + QStringLiteral("/qel-%1").arg(::getuid());
    const QByteArray native = QFile::encodeName(dir);
    ::mkdir(native.constData(), 0700);
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()
        || (st.st_mode & 077) != 0)
        return QString();
    return dir;
}
#endif

SingleInstance::SingleInstance(const QString &name)
    : semaphore_(name + QStringLiteral("_sem"), 1, QSystemSemaphore::Open)
#ifdef Q_OS_WIN
    , marker_(name + QStringLiteral("_shmem"))
#endif
{
    semaphore_.acquire();
#ifdef Q_OS_WIN
    if (marker_.attach())
        another_running_ = true;
    else
        marker_.create(1);
#else
    lock_fd_ = open_marker_lock(name, &another_running_);
#endif
    semaphore_.release();
}

SingleInstance::~SingleInstance()
{
#ifndef Q_OS_WIN
    if (lock_fd_ >= 0)
        ::close(lock_fd_);
#endif
}
