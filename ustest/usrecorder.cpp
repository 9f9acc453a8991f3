#include "usrecorder.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

std::atomic<int> us_recording_files{0};

struct us_trace_file {
    FILE *file = nullptr;
    uint64_t started_ns = 0;
    bool ok = true;
};

namespace {

std::mutex g_mutex;                       // guards everything below
std::vector<us_trace_file *> g_files;
std::string g_partial_diag;               // a trace line still being printed

const char k_hex[] = "0123456789abcdef";

void put_hex(std::string *out, const uint8_t *bytes, size_t n)
{
    const size_t at = out->size();
    out->resize(at + 2 * n);
    char *p = &(*out)[at];
    for (size_t i = 0; i < n; ++i) {
        *p++ = k_hex[bytes[i] >> 4];
        *p++ = k_hex[bytes[i] & 15];
    }
}

// Length of the well-formed UTF-8 sequence at s (of n bytes), 0 if there is none.
size_t utf8_sequence(const unsigned char *s, size_t n)
{
    const unsigned char c = s[0];
    size_t len;
    uint32_t min;
    if (c < 0x80)
        return 1;
    if ((c & 0xe0) == 0xc0) {
        len = 2;
        min = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
        len = 3;
        min = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (len > n)
        return 0;
    uint32_t cp = c & (0x7f >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((s[i] & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return len;
}

// A JSON string. Device names and trace text come from outside the program:
// a byte that is not part of well-formed UTF-8 is kept as the code point of
// the same number, so that the file stays valid JSON and nothing is lost.
void put_string(std::string *out, const char *text, size_t n)
{
    out->push_back('"');
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(char(c));
            ++i;
            continue;
        }
        if (c < 0x20 || c == 0x7f) {
            char e[8];
            std::snprintf(e, sizeof e, "\\u%04x", c);
            out->append(e);
            ++i;
            continue;
        }
        const size_t len = utf8_sequence(s + i, n - i);
        if (len == 0) {
            char e[8];
            std::snprintf(e, sizeof e, "\\u%04x", c);
            out->append(e);
            ++i;
            continue;
        }
        out->append(text + i, len);
        i += len;
    }
    out->push_back('"');
}

void put_ms(std::string *out, const char *key, uint64_t ns)
{
    char b[48];
    std::snprintf(b, sizeof b, "\"%s\":%" PRIu64 ".%03u", key, ns / 1000000u,
                  unsigned(ns / 1000u % 1000u));
    out->append(b);
}

void put_number(std::string *out, const char *key, uint64_t value)
{
    char b[48];
    std::snprintf(b, sizeof b, "\"%s\":%" PRIu64, key, value);
    out->append(b);
}

void put_cause(std::string *out, us_cause cause)
{
    out->append("\"cause\":");
    if (cause == US_CAUSE_NONE) {
        out->append("null");
        return;
    }
    const char *name = us_cause_name(cause);
    put_string(out, name, std::strlen(name));
}

// Everything after "t": the line as every file gets it, and the time each
// file's own "t" is counted from.
void write_line(const std::string &rest, uint64_t at_ns, bool flush)
{
    std::string line;
    for (us_trace_file *f : g_files) {
        line.assign("{");
        put_ms(&line, "t", at_ns > f->started_ns ? at_ns - f->started_ns : 0);
        line.append(rest);
        if (std::fwrite(line.data(), 1, line.size(), f->file) != line.size())
            f->ok = false;
        // A failure is flushed at once: a program that dies right after it
        // still leaves the request that mattered in the trace.
        if (flush && std::fflush(f->file) != 0)
            f->ok = false;
    }
}

void begin_device(std::string *rest, const char *device)
{
    rest->append(",\"device\":");
    put_string(rest, device ? device : "", device ? std::strlen(device) : 0);
}

void end_request(std::string *rest, uint32_t error, us_cause cause, uint64_t began_ns,
                 uint64_t now_ns)
{
    rest->push_back(',');
    put_number(rest, "error", error);
    rest->push_back(',');
    put_cause(rest, cause);
    rest->push_back(',');
    put_ms(rest, "ms", now_ns > began_ns ? now_ns - began_ns : 0);
    rest->append("}\n");
}

std::string utc_now_text()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const unsigned ms = unsigned(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm = {};
#ifdef _WIN32
    gmtime_s(&tm, &secs);
#else
    gmtime_r(&secs, &tm);
#endif
    char b[80];
    std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d.%03uZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return b;
}

// Only a regular file: a pipe or a terminal whose reader stalls would stall
// the update's thread with it, in the middle of a transfer. errno says why
// not (EINVAL for a file of another kind).
FILE *open_for_writing(const char *path)
{
#ifdef _WIN32
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) {
        errno = EINVAL;
        return nullptr;
    }
    std::vector<wchar_t> wide(size_t(n) + 1);
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), n);
    FILE *f = _wfopen(wide.data(), L"wb");
    if (f && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) != FILE_TYPE_DISK) {
        std::fclose(f);
        errno = EINVAL;
        return nullptr;
    }
    return f;
#else
    // Not blocking in the opening either: a named pipe without a reader
    // fails at once instead of waiting for one.
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    // Emptied only now that it is known to be a file of our kind.
    if (ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    FILE *f = fdopen(fd, "w");
    if (!f)
        close(fd);
    return f;
#endif
}

#ifdef _WIN32
const char k_platform[] = "windows";
#elif defined(__linux__)
const char k_platform[] = "linux";
#else
const char k_platform[] = "posix";
#endif

} // namespace

uint64_t us_record_clock_ns()
{
    using namespace std::chrono;
    return uint64_t(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

us_trace_file *us_trace_start(const char *path, const char *program, const char *program_version,
                              std::string *error)
{
    FILE *f = path ? open_for_writing(path) : nullptr;
    if (!f) {
        if (error)
            *error = std::string("cannot write the trace ") + (path ? path : "(none)") + ": "
                     + (errno == EINVAL || errno == ENXIO ? "not a regular file"
                                                          : std::strerror(errno));
        return nullptr;
    }
    // Requests come by the thousand; whole blocks go to the disk.
    std::setvbuf(f, nullptr, _IOFBF, 1 << 16);

    std::string header("{\"format\":\"qel-trace\",\"version\":1,\"program\":");
    put_string(&header, program ? program : "", program ? std::strlen(program) : 0);
    header.append(",\"program_version\":");
    put_string(&header, program_version ? program_version : "",
               program_version ? std::strlen(program_version) : 0);
    header.append(",\"platform\":\"");
    header.append(k_platform);
    header.append("\",\"started\":\"");
    header.append(utc_now_text());
    header.append("\"}\n");

    us_trace_file *file = new us_trace_file;
    file->file = f;
    file->started_ns = us_record_clock_ns();
    file->ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();

    std::lock_guard<std::mutex> lock(g_mutex);
    g_files.push_back(file);
    us_recording_files.store(int(g_files.size()));
    return file;
}

bool us_trace_stop(us_trace_file *file)
{
    if (!file)
        return true;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        // A line the layer has not ended yet belongs to this file too.
        if (!g_partial_diag.empty()) {
            std::string rest(",\"diag\":");
            put_string(&rest, g_partial_diag.data(), g_partial_diag.size());
            rest.append("}\n");
            std::string line("{");
            const uint64_t now = us_record_clock_ns();
            put_ms(&line, "t", now > file->started_ns ? now - file->started_ns : 0);
            line.append(rest);
            if (std::fwrite(line.data(), 1, line.size(), file->file) != line.size())
                file->ok = false;
        }
        for (size_t i = 0; i < g_files.size(); ++i) {
            if (g_files[i] == file) {
                g_files.erase(g_files.begin() + long(i));
                break;
            }
        }
        us_recording_files.store(int(g_files.size()));
        if (g_files.empty())
            g_partial_diag.clear();
    }
    bool ok = file->ok;
    if (std::fclose(file->file) != 0)
        ok = false;
    delete file;
    return ok;
}

void us_record_write(const char *device, uint8_t request, const uint8_t *out, size_t length,
                     uint32_t error, us_cause cause, uint64_t began_ns)
{
    if (!us_recording())
        return;
    const uint64_t now = us_record_clock_ns();
    std::string rest;
    rest.reserve(96 + 2 * length);
    begin_device(&rest, device);
    rest.push_back(',');
    put_number(&rest, "request", request);
    rest.append(",\"out\":\"");
    if (out)
        put_hex(&rest, out, length);
    rest.push_back('"');
    end_request(&rest, error, cause, began_ns, now);
    std::lock_guard<std::mutex> lock(g_mutex);
    write_line(rest, began_ns, cause != US_CAUSE_NONE);
}

void us_record_read(const char *device, uint8_t request, size_t length, const uint8_t *reply,
                    size_t supplied, uint32_t error, us_cause cause, uint64_t began_ns)
{
    if (!us_recording())
        return;
    const uint64_t now = us_record_clock_ns();
    std::string rest;
    rest.reserve(96 + 2 * supplied);
    begin_device(&rest, device);
    rest.push_back(',');
    put_number(&rest, "request", request);
    rest.push_back(',');
    put_number(&rest, "length", length);
    rest.append(",\"reply\":\"");
    if (reply)
        put_hex(&rest, reply, supplied < length ? supplied : length);
    rest.push_back('"');
    end_request(&rest, error, cause, began_ns, now);
    std::lock_guard<std::mutex> lock(g_mutex);
    write_line(rest, began_ns, cause != US_CAUSE_NONE);
}

void us_record_open_failure(const char *device, uint32_t error, us_cause cause, uint64_t began_ns)
{
    if (!us_recording())
        return;
    const uint64_t now = us_record_clock_ns();
    std::string rest;
    begin_device(&rest, device);
    rest.append(",\"open\":\"failed\"");
    end_request(&rest, error, cause, began_ns, now);
    std::lock_guard<std::mutex> lock(g_mutex);
    write_line(rest, began_ns, true);
}

void us_record_diag(const char *text, size_t length)
{
    if (!us_recording() || !text)
        return;
    const uint64_t now = us_record_clock_ns();
    std::lock_guard<std::mutex> lock(g_mutex);
    size_t from = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != '\n')
            continue;
        g_partial_diag.append(text + from, i - from);
        from = i + 1;
        // The Windows console's line ends are the sink's business, not the trace's.
        if (!g_partial_diag.empty() && g_partial_diag.back() == '\r')
            g_partial_diag.pop_back();
        std::string rest(",\"diag\":");
        put_string(&rest, g_partial_diag.data(), g_partial_diag.size());
        rest.append("}\n");
        write_line(rest, now, false);
        g_partial_diag.clear();
    }
    // A line that never ends must not grow without bound.
    if (g_partial_diag.size() + (length - from) <= 4096)
        g_partial_diag.append(text + from, length - from);
}
