// What the state folder asks of the system: where the user's state belongs,
// a private folder, and appending a line so that no other writer's line can
// come between its bytes. statefolder_posix.cpp and statefolder_win.cpp.
#ifndef RECORDS_STATEFOLDER_OS_H
#define RECORDS_STATEFOLDER_OS_H

#include <QByteArray>
#include <QString>

namespace records {
namespace os {

// The folder the updater keeps its state in, not yet created; empty with
// *reason set when the environment names none.
QString state_folder(QString *reason);

// Creates path and its missing parents, readable by the user alone; an
// existing folder is left as it is. False with *reason (the system's words).
bool make_private_folder(const QString &path, QString *reason);

// Whether files can be created in the folder.
bool folder_writable(const QString &path);

// Appends bytes to the file at path (created, private, when missing) in one
// write. False with *reason.
bool append_once(const QString &path, const QByteArray &bytes, QString *reason);

} // namespace os
} // namespace records

#endif
