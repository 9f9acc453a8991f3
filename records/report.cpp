#include "report.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSysInfo>

#include "history.h"
#include "statefolder.h"
#include "tracefolder.h"

namespace records {

namespace {

QJsonArray as_array(const QVector<QJsonObject> &objects)
{
    QJsonArray array;
    for (const QJsonObject &o : objects)
        array.append(o);
    return array;
}

} // namespace

QJsonObject make_report(const QString &program, const QString &program_version)
{
    const StateFolder folder;
    QJsonObject report;
    report.insert(QStringLiteral("format"), QStringLiteral("qel-report"));
    report.insert(QStringLiteral("version"), 1);
    report.insert(QStringLiteral("program"), program);
    report.insert(QStringLiteral("program_version"), program_version);
    report.insert(QStringLiteral("created"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    report.insert(QStringLiteral("os"), QStringLiteral("%1, %2 %3")
                                            .arg(QSysInfo::prettyProductName(),
                                                 QSysInfo::kernelType(), QSysInfo::kernelVersion()));
    QJsonArray traces;
    if (!folder.path().isEmpty()) {
        report.insert(QStringLiteral("history"), as_array(read_json_lines(folder.history_path())));
        const QString traces_path = folder.traces_path();
        for (const QString &name : newest_traces(traces_path, kTracesReported)) {
            QJsonObject trace;
            trace.insert(QStringLiteral("name"), name);
            bool cut = false;
            trace.insert(QStringLiteral("records"),
                         as_array(read_json_lines(traces_path + QLatin1Char('/') + name, &cut)));
            // A report stays small enough to send; what was left out is said.
            if (cut)
                trace.insert(QStringLiteral("cut"), true);
            traces.append(trace);
        }
    } else {
        report.insert(QStringLiteral("history"), QJsonArray());
    }
    report.insert(QStringLiteral("traces"), traces);
    return report;
}

bool save_report(const QString &path, const QString &program, const QString &program_version,
                 QString *reason)
{
    const QString shown = QDir::toNativeSeparators(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *reason = QStringLiteral("%1 cannot be created (%2).").arg(shown, file.errorString());
        return false;
    }
    const QByteArray bytes = QJsonDocument(make_report(program, program_version)).toJson();
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        *reason = QStringLiteral("%1 cannot be written (%2).").arg(shown, file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}

QString default_report_name(const QDateTime &now)
{
    return QStringLiteral("qel-report-%1.json")
        .arg(now.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss")));
}

} // namespace records
