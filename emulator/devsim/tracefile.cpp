#include "tracefile.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

namespace devsim {

namespace {

using json = nlohmann::json;

// A record is one flat object; anything nested deeper is refused before the
// parser builds it, so that a hostile line cannot make it deep.
const int k_max_depth = 8;
// Device names are paths of the registry or of the system's device list.
const size_t k_max_device_name = 4096;
// The largest errno a Linux driver reports.
const uint64_t k_max_linux_errno = 4095;
const uint64_t k_max_transfer = 65535;

bool too_deep(const std::string &line)
{
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > k_max_depth)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The checks of one line's fields; each failure sets why and returns false.
class Fields {
public:
    Fields(const json &object, std::string *why) : o_(object), why_(why) {}

    bool has(const char *key) const { return o_.contains(key); }

    bool string(const char *key, std::string *out, size_t max = 256)
    {
        const auto it = o_.find(key);
        if (it == o_.end() || !it->is_string())
            return fail(std::string("\"") + key + "\" must be a string");
        const std::string &s = it->get_ref<const std::string &>();
        if (s.empty() || s.size() > max)
            return fail(std::string("\"") + key + "\" must hold 1 to " + std::to_string(max)
                        + " characters");
        *out = s;
        return true;
    }

    // A string, or null for none.
    bool optional_string(const char *key, std::string *out)
    {
        const auto it = o_.find(key);
        if (it == o_.end() || it->is_null()) {
            out->clear();
            return true;
        }
        if (!it->is_string() || it->get_ref<const std::string &>().size() > 256)
            return fail(std::string("\"") + key + "\" must be null or a short string");
        *out = it->get_ref<const std::string &>();
        return true;
    }

    bool whole(const char *key, uint64_t max, uint64_t *out)
    {
        const auto it = o_.find(key);
        if (it == o_.end() || !it->is_number_unsigned() || it->get<uint64_t>() > max)
            return fail(std::string("\"") + key + "\" must be a whole number from 0 to "
                        + std::to_string(max));
        *out = it->get<uint64_t>();
        return true;
    }

    bool time(const char *key)
    {
        const auto it = o_.find(key);
        if (it == o_.end() || !it->is_number() || !std::isfinite(it->get<double>())
            || it->get<double>() < 0)
            return fail(std::string("\"") + key + "\" must be a number of milliseconds");
        return true;
    }

    bool hex(const char *key, size_t max, std::vector<uint8_t> *out)
    {
        const auto it = o_.find(key);
        if (it == o_.end() || !it->is_string())
            return fail(std::string("\"") + key + "\" must be a string of hex digits");
        const std::string &text = it->get_ref<const std::string &>();
        if (text.size() % 2 != 0)
            return fail(std::string("\"") + key + "\" has an odd number of hex digits");
        if (text.size() / 2 > max)
            return fail(std::string("\"") + key + "\" holds more than " + std::to_string(max)
                        + " bytes");
        out->resize(text.size() / 2);
        for (size_t i = 0; i < out->size(); ++i) {
            const int hi = hex_digit(text[2 * i]);
            const int lo = hex_digit(text[2 * i + 1]);
            if (hi < 0 || lo < 0)
                return fail(std::string("\"") + key + "\" holds a character that is not a hex digit");
            (*out)[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        return true;
    }

    bool fail(const std::string &why)
    {
        *why_ = why;
        return false;
    }

private:
    const json &o_;
    std::string *why_;
};

bool parse_header(const json &j, std::string *platform, std::string *why)
{
    if (!j.is_object())
        return Fields(j, why).fail("not a trace file: the first line is not a header object");
    Fields f(j, why);
    if (!f.has("format") || !j["format"].is_string() || j["format"] != "qel-trace")
        return f.fail("not a trace file: the header's \"format\" is not \"qel-trace\"");
    uint64_t version = 0;
    if (!f.whole("version", 0xFFFFFFFFu, &version))
        return false;
    if (version != 1)
        return f.fail("trace version " + std::to_string(version) + ": only version 1 can be played");
    std::string text;
    for (const char *key : { "program", "program_version", "started" })
        if (f.has(key) && !f.string(key, &text))
            return false;
    return f.string("platform", platform);
}

// The errno of a recorded outcome: the number itself where it is one.
bool outcome_error(Fields &f, bool linux_errno, uint32_t *error)
{
    uint64_t number = 0;
    std::string cause;
    if (!f.whole("error", linux_errno ? k_max_linux_errno : 0xFFFFFFFFu, &number)
        || !f.optional_string("cause", &cause))
        return false;
    if (number == 0)
        *error = 0;
    else
        *error = linux_errno ? static_cast<uint32_t>(number) : errno_of_cause(cause);
    return true;
}

bool parse_request(Fields &f, bool linux_errno, RecordedRequest *r)
{
    uint64_t code = 0;
    if (!f.whole("request", 255, &code))
        return false;
    r->request = static_cast<uint8_t>(code);
    if (code == 29) {
        if (!f.hex("out", k_max_transfer, &r->out))
            return false;
        if (r->out.empty())
            return f.fail("\"out\" holds no bytes");
    } else if (code == 30) {
        uint64_t length = 0;
        if (!f.whole("length", k_max_transfer, &length) || !f.hex("reply", k_max_transfer, &r->reply))
            return false;
        r->length = static_cast<size_t>(length);
        if (r->reply.size() > r->length)
            return f.fail("\"reply\" holds " + std::to_string(r->reply.size())
                          + " bytes, more than the " + std::to_string(r->length) + " asked for");
    } else {
        return f.fail("request " + std::to_string(code) + " is neither 29 nor 30");
    }
    return outcome_error(f, linux_errno, &r->error) && f.time("ms");
}

} // namespace

uint32_t errno_of_cause(const std::string &cause)
{
    if (cause == "gone")
        return ENODEV;
    if (cause == "timeout")
        return ETIMEDOUT;
    if (cause == "no-access")
        return EACCES;
    if (cause == "busy")
        return EBUSY;
    return EIO;
}

bool parse_trace(const std::string &text, const std::string &device, Trace *trace,
                 std::string *error)
{
    *trace = Trace();
    trace->device = device;
    bool header_seen = false;
    bool device_named = false;
    bool linux_errno = false;
    size_t number = 0;
    std::string why;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (++number > k_max_trace_lines) {
            *error = "more than " + std::to_string(k_max_trace_lines) + " lines";
            return false;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        auto refuse = [&](const std::string &reason) {
            *error = "line " + std::to_string(number) + ": " + reason;
            return false;
        };
        if (too_deep(line))
            return refuse("nested deeper than a trace record is");
        const json j = json::parse(line, nullptr, false);
        if (j.is_discarded())
            return refuse(header_seen ? "not valid JSON"
                                      : "not a trace file: the first line is not JSON");
        if (!header_seen) {
            if (!parse_header(j, &trace->platform, &why))
                return refuse(why);
            linux_errno = trace->platform == "linux";
            header_seen = true;
            continue;
        }
        if (!j.is_object())
            return refuse("not a JSON object");
        Fields f(j, &why);
        if (!f.time("t"))
            return refuse(why);
        const bool is_request = f.has("request");
        const bool is_open = f.has("open");
        if (is_request && is_open)
            return refuse("both a request and an opening");
        if (!is_request && !is_open) {
            // Console text and events of later versions are nothing to replay.
            if (f.has("diag") && !j["diag"].is_string())
                return refuse("\"diag\" must be a string");
            continue;
        }
        std::string name;
        if (!f.string("device", &name, k_max_device_name))
            return refuse(why);
        if (trace->device.empty())
            trace->device = name;
        const bool played = name == trace->device;
        device_named = device_named || played;
        if (is_request) {
            RecordedRequest r;
            if (!parse_request(f, linux_errno, &r))
                return refuse(why);
            if (played)
                trace->requests.push_back(std::move(r));
            continue;
        }
        std::string state;
        uint32_t open_error = 0;
        if (!f.string("open", &state) || !outcome_error(f, linux_errno, &open_error)
            || !f.time("ms"))
            return refuse(why);
        // An opening that failed before any request is a device not there
        // yet, which the replay cannot be; after one, it went away there.
        if (played && state == "failed" && !trace->requests.empty())
            trace->requests.back().gone_after = true;
    }
    if (!header_seen) {
        *error = "not a trace file: it is empty";
        return false;
    }
    if (!device.empty() && !device_named) {
        *error = "no record of device \"" + device + "\"";
        return false;
    }
    if (trace->device.empty()) {
        *error = "no device is named in it";
        return false;
    }
    return true;
}

bool read_trace(const std::string &path, const std::string &device, Trace *trace,
                std::string *error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + ": not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > k_max_trace_bytes) {
        *error = path + ": larger than " + std::to_string(k_max_trace_bytes >> 20)
                 + " MiB, more than any trace this program plays";
        return false;
    }
    std::ifstream f(path, std::ios::binary);
    std::string text;
    if (f) {
        // Read with a bound too: the file may have grown since it was looked at.
        char buf[65536];
        while (f.read(buf, sizeof buf) || f.gcount() > 0) {
            text.append(buf, static_cast<size_t>(f.gcount()));
            if (text.size() > k_max_trace_bytes) {
                *error = path + ": larger than " + std::to_string(k_max_trace_bytes >> 20) + " MiB";
                return false;
            }
        }
    }
    if (!f.eof()) {
        *error = path + ": cannot be read";
        return false;
    }
    if (!parse_trace(text, device, trace, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

} // namespace devsim
