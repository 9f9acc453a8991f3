// Where the device layer's console trace goes: its diagnostic lines, the
// transfer's position lines, the device's debug text, an image's summary.
// By default it is written to standard output as it always was; a program
// that keeps stdout for its own lines (the command-line updater) or has none
// (a Windows GUI program) installs a function of its own.
#ifndef USTEST_USTRACE_H
#define USTEST_USTRACE_H

#include <cstddef>

// Receives trace text, UTF-8, in the pieces the layer prints (not always
// whole lines). Called on whichever thread runs the device layer.
typedef void (*us_trace_fn)(const char *text, size_t length);

// Installs fn; null restores the default (stdout). Returns the previous
// function. Install before any device traffic, as with us_set_sleep.
us_trace_fn us_set_trace(us_trace_fn fn);

// A sink that drops everything, for programs and fuzzers that want no trace.
void us_trace_discard(const char *text, size_t length);

void us_trace(const char *text, size_t length);
void us_trace_text(const char *text);
void us_tracef(const char *format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif
