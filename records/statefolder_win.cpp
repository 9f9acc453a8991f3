#include "statefolder_os.h"

#include <windows.h>

#include <QDir>
#include <QFileInfo>

namespace records {
namespace os {

namespace {

QString system_words(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString words = n ? QString::fromWCharArray(text, int(n)).trimmed()
                      : QStringLiteral("error %1").arg(error);
    LocalFree(text);
    if (words.endsWith(QLatin1Char('.')))
        words.chop(1);
    return words;
}

} // namespace

QString state_folder(QString *reason)
{
    const QString local = QString::fromLocal8Bit(qgetenv("LOCALAPPDATA"));
    if (local.isEmpty() || !QDir::isAbsolutePath(local)) {
        *reason = QStringLiteral("LOCALAPPDATA names no folder");
        return QString();
    }
    return QDir::cleanPath(local) + QStringLiteral("/QelUpdater");
}

// The local application data folder is the user's own already.
bool make_private_folder(const QString &path, QString *reason)
{
    if (QFileInfo(path).isDir() || QDir().mkpath(path))
        return true;
    *reason = QStringLiteral("%1 cannot be created").arg(QDir::toNativeSeparators(path));
    return false;
}

bool folder_writable(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t *>(
        QDir::toNativeSeparators(path).utf16()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool append_once(const QString &path, const QByteArray &bytes, QString *reason)
{
    const QString native = QDir::toNativeSeparators(path);
    // FILE_APPEND_DATA alone: every WriteFile goes to the end as one piece.
    HANDLE h = CreateFileW(reinterpret_cast<const wchar_t *>(native.utf16()), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *reason = QStringLiteral("%1 cannot be opened (%2)").arg(native, system_words(GetLastError()));
        return false;
    }
    DWORD done = 0;
    const BOOL ok = WriteFile(h, bytes.constData(), DWORD(bytes.size()), &done, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok || done != DWORD(bytes.size())) {
        *reason = QStringLiteral("%1 cannot be written (%2)")
                      .arg(native, ok ? QStringLiteral("short write") : system_words(error));
        return false;
    }
    return true;
}

} // namespace os
} // namespace records
