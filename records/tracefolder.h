// The traces of the newest update attempts, one JSON Lines file each, named
// so that their names sort as their start times do:
//   20261210-213000.123-desk.jsonl
#ifndef RECORDS_TRACEFOLDER_H
#define RECORDS_TRACEFOLDER_H

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace records {

// How many traces the folder keeps.
constexpr int kTracesKept = 20;

// The file name of the trace of an attempt started at start on device (as
// the device list names it): the UTC time to the millisecond, then the name
// with everything but [A-Za-z0-9._-] made '_' and cut to 80 characters.
QString trace_file_name(const QDateTime &start, const QString &device);

// The names of the newest count traces in folder, newest first.
QStringList newest_traces(const QString &folder, int count);

// Deletes all but the newest keep traces in folder.
void keep_newest_traces(const QString &folder, int keep = kTracesKept);

} // namespace records

#endif
