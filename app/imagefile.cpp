#include "imagefile.h"

#include <cerrno>
#include <cstring>

#include <QFile>
#include <QFileInfo>

#include "fwimage.h"
#include "prgdecode.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// What the window can hold must never be more than what `qel-fwtool check`
// reads, or a file could be installable and yet called too large.
static_assert(int(FW_IMAGE_CAPACITY) <= int(PRG_MAX_FILE_SIZE), "image buffer larger than any image file");

namespace {

bool fail(QString *why, int *size, const QString &text)
{
    *size = 0;
    if (why)
        *why = text;
    return false;
}

#ifndef Q_OS_WIN
QString unreadable(int error)
{
    return QStringLiteral("cannot be read (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
}
#endif

QString too_large(int capacity)
{
    return QStringLiteral("larger than an image can be (%1 bytes)").arg(capacity);
}

// Resources live in the executable; whatever their size says is what they hold.
bool load_through_qfile(const QString &path, uint8_t *buffer, int capacity, int *size, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(why, size, QStringLiteral("cannot be read (%1)").arg(file.errorString()));
    const qint64 length = file.size();
    if (length > capacity)
        return fail(why, size, too_large(capacity));
    qint64 got = 0;
    while (got < length) {
        const qint64 n = file.read(reinterpret_cast<char *>(buffer) + got, length - got);
        if (n <= 0)
            break;
        got += n;
    }
    if (got != length)
        return fail(why, size, QStringLiteral("cannot be read (it changed while being read)"));
    *size = int(length);
    return true;
}

} // namespace

bool load_image_file(const QString &path, uint8_t *buffer, int capacity, int *size, QString *why)
{
    *size = 0;
    if (!buffer || capacity < 0)
        return fail(why, size, QStringLiteral("cannot be read (no room for it)"));
    if (path.startsWith(QLatin1Char(':')))
        return load_through_qfile(path, buffer, capacity, size, why);
#ifdef Q_OS_WIN
    // No named pipe can stand in a file system path here; a directory or a
    // device name still must not be taken for an image.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return fail(why, size, QStringLiteral("not a regular file"));
    return load_through_qfile(path, buffer, capacity, size, why);
#else
    const QByteArray name = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(why, size, unreadable(errno));
    struct stat st;
    QString problem;
    if (::fstat(fd, &st) != 0)
        problem = unreadable(errno);
    else if (!S_ISREG(st.st_mode))
        problem = QStringLiteral("not a regular file");
    else if (st.st_size > capacity)
        problem = too_large(capacity);
    if (!problem.isEmpty()) {
        ::close(fd);
        return fail(why, size, problem);
    }
    // Exactly the length it had when measured; a file that shrinks meanwhile
    // is refused, one that grows is read as it was.
    const size_t length = size_t(st.st_size);
    size_t got = 0;
    int read_error = 0;
    while (got < length) {
        const ssize_t n = ::read(fd, buffer + got, length - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            read_error = errno;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(fd);
    if (got != length)
        return fail(why, size, read_error ? unreadable(read_error)
                                          : QStringLiteral("cannot be read (it changed while being read)"));
    *size = int(length);
    return true;
#endif
}
