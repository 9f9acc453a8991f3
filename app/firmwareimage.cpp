#include "firmwareimage.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <QFile>
#include <QFileInfo>

#include "fwimage.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// What the window can hold must never be more than what the device layer's
// own file commands (`qel-fwtool info`, extract) read, or a file could be
// installable and yet called too large.
static_assert(int(FW_IMAGE_CAPACITY) <= int(PRG_MAX_FILE_SIZE), "image buffer larger than any image file");

namespace {

struct Read {
    us_cause cause = US_CAUSE_NONE;
    QString why;
    int length = 0;
};

Read failed(us_cause cause, const QString &why)
{
    Read r;
    r.cause = cause;
    r.why = why;
    return r;
}

Read too_large(int capacity)
{
    return failed(US_CAUSE_IMAGE_TOO_LARGE,
                  QStringLiteral("larger than an image can be (%1 bytes)").arg(capacity));
}

Read changed_while_read()
{
    return failed(US_CAUSE_IMAGE_UNREADABLE,
                  QStringLiteral("cannot be read (it changed while being read)"));
}

// Resources live in the executable; whatever their size says is what they hold.
Read read_through_qfile(const QString &path, uint8_t *buffer, int capacity)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(US_CAUSE_IMAGE_UNREADABLE,
                      QStringLiteral("cannot be read (%1)").arg(file.errorString()));
    const qint64 length = file.size();
    if (length > capacity)
        return too_large(capacity);
    qint64 got = 0;
    while (got < length) {
        const qint64 n = file.read(reinterpret_cast<char *>(buffer) + got, length - got);
        if (n <= 0)
            break;
        got += n;
    }
    if (got != length)
        return changed_while_read();
    Read r;
    r.length = int(length);
    return r;
}

#ifdef Q_OS_WIN
Read read_file(const QString &path, uint8_t *buffer, int capacity)
{
    // No named pipe can stand in a file system path here; a directory or a
    // device name still must not be taken for an image.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return failed(US_CAUSE_IMAGE_NOT_REGULAR, QStringLiteral("not a regular file"));
    return read_through_qfile(path, buffer, capacity);
}
#else
Read unreadable(int error)
{
    return failed(US_CAUSE_IMAGE_UNREADABLE,
                  QStringLiteral("cannot be read (%1)").arg(QString::fromLocal8Bit(std::strerror(error))));
}

Read read_file(const QByteArray &name, uint8_t *buffer, int capacity)
{
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return unreadable(errno);
    struct stat st;
    Read problem;
    if (::fstat(fd, &st) != 0)
        problem = unreadable(errno);
    else if (!S_ISREG(st.st_mode))
        problem = failed(US_CAUSE_IMAGE_NOT_REGULAR, QStringLiteral("not a regular file"));
    else if (st.st_size > capacity)
        problem = too_large(capacity);
    if (problem.cause != US_CAUSE_NONE) {
        ::close(fd);
        return problem;
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
        return read_error ? unreadable(read_error) : changed_while_read();
    Read r;
    r.length = int(length);
    return r;
}
#endif

} // namespace

bool FirmwareImage::load(const QString &path, uint8_t *buffer, int capacity)
{
    Read r;
    if (!buffer || capacity < 0)
        r = failed(US_CAUSE_IMAGE_UNREADABLE, QStringLiteral("cannot be read (no room for it)"));
    else if (path.startsWith(QLatin1Char(':')))
        r = read_through_qfile(path, buffer, capacity);
    else
#ifdef Q_OS_WIN
        r = read_file(path, buffer, capacity);
#else
        r = read_file(QFile::encodeName(path), buffer, capacity);
#endif
    return finish(r.cause, r.why, buffer, r.length);
}

bool FirmwareImage::inspect(const std::string &path)
{
    const int capacity = FW_IMAGE_CAPACITY;
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
#ifdef Q_OS_WIN
    QString name = QString::fromUtf8(path.data(), int(path.size()));
    // QFile would take a leading colon for a resource of this program.
    if (name.startsWith(QLatin1Char(':')))
        name.prepend(QStringLiteral("./"));
    const Read r = read_file(name, buffer.get(), capacity);
#else
    const Read r = read_file(QByteArray::fromStdString(path), buffer.get(), capacity);
#endif
    return finish(r.cause, r.why, buffer.get(), r.length);
}

bool FirmwareImage::finish(us_cause read_cause, const QString &why, const uint8_t *buffer, int length)
{
    std::memset(header_.bytes, 0, sizeof header_.bytes);
    failure_ = 0;
    if (read_cause != US_CAUSE_NONE) {
        loaded_ = false;
        load_error_ = why;
        length_ = 0;
        cause_ = read_cause;
        return false;
    }
    loaded_ = true;
    load_error_.clear();
    length_ = length;
    if (has_header())
        prgdecode_set_header(&header_, buffer);
    // The test decides and names its failure; nothing is guessed here again.
    cause_ = prgdecode_check_result(buffer, uint32_t(length), &failure_);
    return true;
}

bool FirmwareImage::product(std::string *out) const
{
    char name[PRG_PRODUCT_SIZE + 1];
    if (prgdecode_get_product(&header_, name, int(sizeof name)) != 0)
        return false;
    out->assign(name, strnlen(name, PRG_PRODUCT_SIZE));
    return true;
}
