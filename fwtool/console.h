// Everything qel-fwtool asks of the terminal or console it runs in, and
// nothing more: the command line, what an interruption does, whether stdin
// and stderr are a terminal, the program's own streams, the log file, the
// redrawn progress line and the answer to the question.
// console_posix.cpp provides it with signals and file descriptors,
// console_win.cpp with the console API and handles; the logic that uses it
// is written once.
#ifndef FWTOOL_CONSOLE_H
#define FWTOOL_CONSOLE_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace fwtool {

// The arguments after the program's name, as UTF-8 (on Windows taken from
// the wide command line: the C runtime's argv is in the ANSI code page and
// loses every character outside it).
std::vector<std::string> command_arguments(int argc, char **argv);

// What an interruption does. Until the transfer starts, the keyboard's
// interruptions (Ctrl+C, and Ctrl+\ or Ctrl+Break) end the program at once
// with exit 130: nothing has been written to the device. From then on, until
// the worker ends, they and the requests to end the program (SIGTERM, SIGHUP;
// the console window closed) are refused, once with a warning: a device cut
// off mid-update may be left without working firmware. A reader of stdout or
// stderr that went away never ends the program.
void interrupt_install();
// Safe from any thread; takes effect before the caller's next step.
void interrupt_protect(bool on);

bool stdin_is_terminal();
bool stderr_is_terminal();

// Creates (or empties) the text file at path (UTF-8) for writing, with the
// system's line ends; null when it cannot be.
std::FILE *create_text_file(const std::string &path);

enum class Stream { Out, Err };
// Writes UTF-8 bytes to the program's own stdout or to stderr. A write that
// fails (a closed pipe, a full disk) is dropped.
void write_raw(Stream stream, const char *bytes, size_t length);

// The progress line on a terminal: what redraws it in place with `line`, a
// line of `previous` characters having been drawn before, and what takes it
// off again.
std::string redrawn_line(const std::string &line, size_t previous);
std::string erased_line(size_t previous);

// One line typed at the terminal, without its line break; empty at the end
// of the input.
std::string read_answer();

} // namespace fwtool

#endif
