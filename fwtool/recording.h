// --record FILE: every request of the command's device session in one trace
// file, beside the traces the state folder keeps of each update.
#ifndef FWTOOL_RECORDING_H
#define FWTOOL_RECORDING_H

#include <string>

struct us_trace_file;

namespace fwtool {

class SessionRecording {
public:
    SessionRecording() = default;
    SessionRecording(const SessionRecording &) = delete;
    SessionRecording &operator=(const SessionRecording &) = delete;
    // Stops the recording, so that the trace is whole however the command ends.
    ~SessionRecording();

    // Starts recording into path (nothing for an empty path); false with a
    // line on stderr when the file cannot be written.
    bool start(const std::string &path);

private:
    us_trace_file *file_ = nullptr;
    std::string path_;
};

} // namespace fwtool

#endif
