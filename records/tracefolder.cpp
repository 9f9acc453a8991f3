#include "tracefolder.h"

#include <QDir>
#include <QFile>

namespace records {

namespace {

const int kDeviceNameMax = 80;

QStringList by_age(const QString &folder)
{
    QDir dir(folder);
    // Files only: a folder someone named *.jsonl is not ours to remove, and
    // a link leads to what the updater did not write.
    return dir.entryList({QStringLiteral("*.jsonl")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                         QDir::Name | QDir::Reversed);
}

} // namespace

QString trace_file_name(const QDateTime &start, const QString &device)
{
    QString name;
    for (const QChar c : device.left(kDeviceNameMax)) {
        const ushort u = c.unicode();
        const bool kept = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')
                          || u == '.' || u == '_' || u == '-';
        name += kept ? c : QLatin1Char('_');
    }
    if (name.isEmpty())
        name = QStringLiteral("device");
    return start.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss.zzz")) + QLatin1Char('-') + name
           + QStringLiteral(".jsonl");
}

QStringList newest_traces(const QString &folder, int count)
{
    return by_age(folder).mid(0, qMax(count, 0));
}

void keep_newest_traces(const QString &folder, int keep)
{
    const QStringList names = by_age(folder);
    for (int i = qMax(keep, 0); i < names.size(); ++i)
        QFile::remove(folder + QLatin1Char('/') + names[i]);
}

} // namespace records
