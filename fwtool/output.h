// Where qel-fwtool's output goes. stdout carries only the program's own
// lines; the device layer prints its console trace to stdout too, so once
// divert_trace() (console.h) has run, the C library's stdout leads to the log
// (or nowhere) and the program writes to a copy of the original stdout
// instead.
#ifndef FWTOOL_OUTPUT_H
#define FWTOOL_OUTPUT_H

#include <string>

#include <QJsonObject>
#include <QString>

namespace fwtool {

// A write that fails (a closed pipe, a full disk) is dropped: no output is
// worth stopping an update for, and the exit status stays the update's.

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
