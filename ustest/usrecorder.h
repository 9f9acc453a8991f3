// Recording what passes the device channel: every request of a session, its
// outcome and how long it took, written as JSON Lines to one or more trace
// files, so that a session with a real device can be read afterwards and
// played back by the emulator as a test.
//
// A trace file's first line is a header object:
//   {"format":"qel-trace","version":1,"program":"qel-fwtool",
//    "program_version":"1.2.0","platform":"linux","started":"2026-12-10T21:30:00.123Z"}
// then one object per event, in order:
//   request 29 {"t":1.234,"device":"NAME","request":29,"out":"HEX","error":0,"cause":null,"ms":0.2}
//   request 30 {"t":1.5,"device":"NAME","request":30,"length":4,"reply":"HEX","error":0,
//               "cause":null,"ms":0.1}
//   a channel that would not open {"t":2.0,"device":"NAME","open":"failed","error":2,
//               "cause":"gone","ms":0.05}
//   a line of the device layer's console trace {"t":2.1,"diag":"TEXT"}
// "t" is milliseconds since the file was started, "ms" the request's own
// duration; "error" is the system's error number (errno, or GetLastError on
// Windows), "cause" its name; "reply" holds the bytes the channel returned,
// which may be fewer than asked (cause "malformed").
//
// Recording costs one atomic load per request while no file is started.
#ifndef USTEST_USRECORDER_H
#define USTEST_USRECORDER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "uscause.h"

struct us_trace_file;

// Creates (or empties) the file at path (UTF-8), writes the header and starts
// recording into it. Null with *error set (a sentence) when it cannot be
// written. Several files may record at once, each timed from its own start.
us_trace_file *us_trace_start(const char *path, const char *program,
                              const char *program_version, std::string *error);

// Stops recording into file, writes what is pending and closes it; false
// when some of it could not be written. Null is ignored.
bool us_trace_stop(us_trace_file *file);

// How many files record now; read through us_recording.
extern std::atomic<int> us_recording_files;

// Whether any file records now. Inline: the channel asks it on every request.
inline bool us_recording()
{
    return us_recording_files.load(std::memory_order_relaxed) != 0;
}

// The channel boundary's reports; they do nothing while nothing records.
// A steady clock in nanoseconds, for the requests' durations.
uint64_t us_record_clock_ns();
void us_record_write(const char *device, uint8_t request, const uint8_t *out, size_t length, uint32_t error,
                     us_cause cause, uint64_t began_ns);
void us_record_read(const char *device, uint8_t request, size_t length, const uint8_t *reply, size_t supplied,
                    uint32_t error, us_cause cause, uint64_t began_ns);
void us_record_open_failure(const char *device, uint32_t error, us_cause cause,
                            uint64_t began_ns);
// Text of the layer's console trace, in any pieces; recorded line by line.
void us_record_diag(const char *text, size_t length);

#endif
