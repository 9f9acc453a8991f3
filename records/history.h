// The history of update attempts: history.jsonl in the state folder, one
// JSON object per line, appended by every program that updates a device.
//   {"time":"2026-12-10T21:30:00.123Z","program":"qel-fwtool","device":"desk",
//    "product":"Qel","from":{"version":"1.01","build":30},
//    "to":{"version":"1.02","build":31,"image":"embedded"},"result":"updated",
//    "cause":null,"text":"Firmware update completed.","seconds":41.237,
//    "trace":"20261210-213000.123-desk.jsonl"}
#ifndef RECORDS_HISTORY_H
#define RECORDS_HISTORY_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QVector>

namespace records {

struct HistoryRecord {
    QDateTime time;
    QString program;
    QString device;
    QString product;        // null: not known
    bool has_from = false;  // what the device had
    unsigned from_version = 0;
    unsigned from_build = 0;
    bool has_to = false;    // what was to be installed
    unsigned to_version = 0;
    unsigned to_build = 0;
    QString to_image;       // the image file's path, or "embedded"
    QString result;         // updated, refused, declined, failed or busy
    QString cause;          // null: none
    QString text;           // what the user was shown
    double seconds = 0;
    QString trace;          // the trace's file name; null: none
};

// A version number as people read it: 102 is "1.02".
QString version_text(unsigned version);

// The record as one line, its fields in the order above, "\n" included.
QByteArray history_line(const HistoryRecord &record);

// Appends the record to the history file at path in one write, so that
// programs appending at once never mix their lines. False with *reason.
bool append_history(const QString &path, const HistoryRecord &record, QString *reason);

// Every line of the file that is a JSON object, oldest first; other lines
// (cut short, mixed up, not JSON) are skipped. Empty when there is no file
// or it is no regular file (a named pipe would never end). Only the first
// kReadLimit bytes are read; *cut (may be null) says whether there was more.
constexpr qint64 kReadLimit = qint64(16) << 20;
QVector<QJsonObject> read_json_lines(const QString &path, bool *cut = nullptr);

} // namespace records

#endif
