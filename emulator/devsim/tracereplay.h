// A device that is a recording: each request that arrives gets the outcome
// the next recorded request of the device had, as long as the two agree.
// From the first one that does not (or one past the end) every request fails
// with EIO, and one line says where the two went apart, so that a test can
// tell which of its requests changed. Plain C++, no I/O: whoever serves the
// channel asks it for that line and prints it.
#ifndef EMULATOR_DEVSIM_TRACEREPLAY_H
#define EMULATOR_DEVSIM_TRACEREPLAY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "controltarget.h"
#include "tracefile.h"

namespace devsim {

class TraceReplay : public qeldriver::ControlTarget {
public:
    explicit TraceReplay(Trace trace);

    // value and index are always 0 in the recorded requests and are not compared.
    int control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                    size_t length) override;
    int control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out, size_t length,
                   size_t *supplied) override;

    const std::string &device() const { return trace_.device; }
    size_t recorded() const { return trace_.requests.size(); }
    // Requests answered with their recorded outcome.
    size_t replayed() const { return replayed_; }
    // The recording's device could not be opened after the last request
    // served; every request now fails with ENODEV.
    bool gone() const { return gone_; }

    // "diverged: request N: expected ..., got ..." once the replay left the
    // trace; empty before, and after it was taken once.
    std::string take_divergence();

private:
    // Whether the request matches the next recorded one; on a mismatch it
    // notes the divergence.
    const RecordedRequest *next(uint8_t request, bool in, const uint8_t *data, size_t length);

    Trace trace_;
    size_t next_ = 0;
    size_t replayed_ = 0;
    bool diverged_ = false;
    bool gone_ = false;
    std::string divergence_;
};

} // namespace devsim

#endif
