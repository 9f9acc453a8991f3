#include "recordcmds.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QStringList>
#include <QVector>

#include "history.h"
#include "output.h"
#include "report.h"
#include "statefolder.h"

namespace fwtool {

namespace {

// Whatever a history line holds came from a file anyone could have edited.
QString text_of(const QJsonValue &value)
{
    if (value.isString())
        return shown(value.toString().toStdString());
    if (value.isDouble())
        return QString::number(value.toDouble());
    return QString();
}

QString version_of(const QJsonValue &value)
{
    const QJsonObject o = value.toObject();
    if (o.isEmpty())
        return QStringLiteral("?");
    QString text = text_of(o.value(QStringLiteral("version")));
    if (text.isEmpty())
        text = QStringLiteral("?");
    const QString build = text_of(o.value(QStringLiteral("build")));
    if (!build.isEmpty())
        text += QStringLiteral(" (%1)").arg(build);
    return text;
}

QString local_time(const QJsonValue &value)
{
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    if (!time.isValid())
        return text_of(value);
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

int run_history(bool json)
{
    const QVector<QJsonObject> lines = records::read_json_lines(records::StateFolder().history_path());
    if (json) {
        for (const QJsonObject &o : lines)
            out_json(o);
        return 0;
    }
    if (lines.isEmpty()) {
        out_line(QStringLiteral("No updates recorded."));
        return 0;
    }
    QVector<QStringList> rows;
    rows.append({QStringLiteral("TIME"), QStringLiteral("PROGRAM"), QStringLiteral("DEVICE"),
                 QStringLiteral("RESULT"), QStringLiteral("FROM -> TO"), QStringLiteral("CAUSE")});
    for (const QJsonObject &o : lines) {
        const QString cause = text_of(o.value(QStringLiteral("cause")));
        rows.append({local_time(o.value(QStringLiteral("time"))),
                     text_of(o.value(QStringLiteral("program"))),
                     text_of(o.value(QStringLiteral("device"))),
                     text_of(o.value(QStringLiteral("result"))),
                     version_of(o.value(QStringLiteral("from"))) + QStringLiteral(" -> ")
                         + version_of(o.value(QStringLiteral("to"))),
                     cause.isEmpty() ? QStringLiteral("-") : cause});
    }
    QVector<int> widths(rows[0].size(), 0);
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], row[i].size());
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        out_line(line);
    }
    return 0;
}

int run_report(const std::string &output, bool json)
{
    const QString path = output.empty()
                             ? records::default_report_name(QDateTime::currentDateTimeUtc())
                             : QString::fromStdString(output);
    const QString absolute = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    QString reason;
    if (!records::save_report(path, QStringLiteral("qel-fwtool"), QStringLiteral(QEL_VERSION), &reason)) {
        err_line(QStringLiteral("qel-fwtool: the report cannot be saved: %1")
                     .arg(shown(reason.toStdString())));
        return 1;
    }
    if (json)
        out_json(QJsonObject{{QStringLiteral("report"), absolute}});
    else
        out_line(shown(absolute.toStdString()));
    return 0;
}

} // namespace fwtool
