// Where qel-fwtool's output goes. stdout carries only the program's own
// lines; the device layer's console trace goes to its log, or nowhere.
#ifndef FWTOOL_OUTPUT_H
#define FWTOOL_OUTPUT_H

#include <string>

#include <QJsonObject>
#include <QString>

namespace fwtool {

// A write that fails (a closed pipe, a full disk) is dropped: no output is
// worth stopping an update for, and the exit status stays the update's.

// Sends the device layer's trace to the file at log_path (UTF-8), or nowhere
// when it is empty. False when the log cannot be opened.
bool divert_trace(const std::string &log_path);

// One line (a line break is added) on the program's own stdout.
void out_line(const QString &text);
// One JSON object as a single line on the program's own stdout.
void out_json(const QJsonObject &object);
// One line on stderr.
void err_line(const QString &text);
// Raw text on stderr, nothing added.
void err_text(const QString &text);

// Bytes from outside the program (an image's product, a device's name, a
// path) as the terminal is to show them: control characters and bytes that
// are not UTF-8 escaped as \xHH. Only for text output; JSON carries them as
// they are.
QString shown(const std::string &bytes);

} // namespace fwtool

#endif
