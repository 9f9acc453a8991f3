// The diagnostic report a user sends when an update went wrong: one JSON
// document with the update history and the newest traces, and nothing of
// the machine beyond its system's name, so that it can be sent as it is.
//   {"format":"qel-report","version":1,"program":"qel-fwtool",
//    "program_version":"1.0.0","created":"2026-12-10T21:30:00.123Z",
//    "os":"Debian GNU/Linux 12 (bookworm), linux 6.1.0",
//    "history":[...],"traces":[{"name":"...jsonl","records":[...]}]}
#ifndef RECORDS_REPORT_H
#define RECORDS_REPORT_H

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace records {

// How many of the newest traces a report carries.
constexpr int kTracesReported = 5;

// The report on what the state folder holds now; reading creates nothing.
QJsonObject make_report(const QString &program, const QString &program_version);

// Writes the report to path, whole or not at all. False with *reason, one
// sentence.
bool save_report(const QString &path, const QString &program, const QString &program_version,
                 QString *reason);

// The name a report is offered under: qel-report-20261210-213000.json.
QString default_report_name(const QDateTime &now);

} // namespace records

#endif
