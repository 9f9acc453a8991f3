#include "statefolder_os.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace records {
namespace os {

namespace {

QString system_words(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString state_folder(QString *reason)
{
    // A relative XDG_STATE_HOME is to be ignored, as the base directories
    // say: it would move with the working directory.
    const QString xdg = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg))
        return QDir::cleanPath(xdg) + QStringLiteral("/qel-updater");
    const QString home = QFile::decodeName(qgetenv("HOME"));
    if (home.isEmpty() || !QDir::isAbsolutePath(home)) {
        *reason = QStringLiteral("neither XDG_STATE_HOME nor HOME names a folder");
        return QString();
    }
    return QDir::cleanPath(home) + QStringLiteral("/.local/state/qel-updater");
}

bool make_private_folder(const QString &path, QString *reason)
{
    // Each missing folder made here, so that every one of them is private,
    // the parents included; mkpath would give them the umask's mode.
    QStringList missing;
    QString at = QDir::cleanPath(path);
    struct stat st;
    while (::stat(QFile::encodeName(at).constData(), &st) != 0) {
        missing.prepend(at);
        const QString parent = QFileInfo(at).path();
        if (parent == at)
            break;
        at = parent;
    }
    if (missing.isEmpty() || missing.first() != at) {
        if (!S_ISDIR(st.st_mode)) {
            *reason = QStringLiteral("%1 is not a folder").arg(at);
            return false;
        }
    }
    for (const QString &folder : missing) {
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
            *reason = QStringLiteral("%1 cannot be created (%2)").arg(folder, system_words(errno));
            return false;
        }
    }
    return true;
}

bool folder_writable(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), W_OK | X_OK) == 0;
}

bool append_once(const QString &path, const QByteArray &bytes, QString *reason)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *reason = QStringLiteral("%1 cannot be opened (%2)").arg(path, system_words(errno));
        return false;
    }
    // One call: with O_APPEND the system places the whole of it at the end,
    // so a line from another program lands before or after it, never inside.
    ssize_t n;
    do
        n = ::write(fd, bytes.constData(), size_t(bytes.size()));
    while (n < 0 && errno == EINTR);
    const int write_error = errno;
    ::close(fd);
    if (n != ssize_t(bytes.size())) {
        *reason = QStringLiteral("%1 cannot be written (%2)")
                      .arg(path, n < 0 ? system_words(write_error) : QStringLiteral("short write"));
        return false;
    }
    return true;
}

} // namespace os
} // namespace records
