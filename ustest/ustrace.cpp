#include "ustrace.h"

#include "usrecorder.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

void to_stdout(const char *text, size_t length)
{
    std::fwrite(text, 1, length, stdout);
}

std::atomic<us_trace_fn> g_trace{&to_stdout};

} // namespace

us_trace_fn us_set_trace(us_trace_fn fn)
{
    return g_trace.exchange(fn ? fn : &to_stdout);
}

void us_trace_discard(const char *, size_t)
{
}

void us_trace(const char *text, size_t length)
{
    if (!text || !length)
        return;
    g_trace.load()(text, length);
    if (us_recording())
        us_record_diag(text, length);
}

void us_trace_text(const char *text)
{
    if (text)
        us_trace(text, std::strlen(text));
}

void us_tracef(const char *format, ...)
{
    const us_trace_fn sink = g_trace.load();
    const bool recording = us_recording();
    if (sink == &us_trace_discard && !recording)
        return;   // formatting nothing for nobody keeps a silenced layer cheap
    va_list args;
    va_start(args, format);
    if (sink == &to_stdout && !recording) {
        // Straight into stdio's buffer, as the trace always went.
        std::vfprintf(stdout, format, args);
        va_end(args);
        return;
    }
    char small[256];
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (size_t(n) < sizeof small) {
        va_end(again);
        sink(small, size_t(n));
        us_record_diag(small, size_t(n));
        return;
    }
    std::vector<char> large(size_t(n) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    va_end(again);
    sink(large.data(), size_t(n));
    us_record_diag(large.data(), size_t(n));
}
