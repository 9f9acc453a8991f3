// Reading a trace file written by the updater's recorder (ustest/usrecorder.h
// describes its lines) into what a replaying device needs: the requests of
// one device, in order, each with the outcome it had. Every field is checked,
// so that a damaged or foreign file is refused with one line saying where,
// rather than played back as something it is not.
#ifndef EMULATOR_DEVSIM_TRACEFILE_H
#define EMULATOR_DEVSIM_TRACEFILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

struct RecordedRequest {
    uint8_t request = 0;          // 29 (OUT) or 30 (IN)
    std::vector<uint8_t> out;     // 29: the bytes sent
    size_t length = 0;            // 30: the bytes asked for
    std::vector<uint8_t> reply;   // 30: the bytes returned, at most length
    uint32_t error = 0;           // the errno the driver answers with; 0: it went through
    bool gone_after = false;      // the device could no longer be opened after it
};

struct Trace {
    std::string platform;                    // where it was recorded
    std::string device;                      // the device whose requests these are
    std::vector<RecordedRequest> requests;
};

// The largest trace file read; a whole update with a real device stays far
// below it.
constexpr size_t k_max_trace_bytes = 64u << 20;
constexpr size_t k_max_trace_lines = 2000000;

// Parses the text of a trace file, keeping the records of device (empty: the
// first device the trace names). False with *error set to one line ("line N:
// why") when the text is not a trace this program can play.
bool parse_trace(const std::string &text, const std::string &device, Trace *trace,
                 std::string *error);

// Reads and parses the file at path; *error then starts with the path.
bool read_trace(const std::string &path, const std::string &device, Trace *trace,
                std::string *error);

// The errno a recorded cause name stands for, for traces recorded where the
// error numbers are not errno values.
uint32_t errno_of_cause(const std::string &cause);

} // namespace devsim

#endif
