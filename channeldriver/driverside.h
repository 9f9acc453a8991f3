// The driver's side of one request over the device channel: which bytes make
// a request, what a malformed one is answered with, and how a well-formed one
// becomes a vendor control transfer on the device behind the channel.
#ifndef CHANNELDRIVER_DRIVERSIDE_H
#define CHANNELDRIVER_DRIVERSIDE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channelwire.h"
#include "controltarget.h"

namespace qeldriver {

// The input bytes to read after a channel header (QEL_CHANNEL_REQUEST_HEADER
// bytes); -1 when the header alone is malformed (it is answered at once,
// without waiting for more).
long input_expected(const uint8_t *header);

struct Outcome {
    uint32_t error = 0;          // 0, or the errno value the request failed with
    std::vector<uint8_t> bytes;  // the bytes returned
    std::string what;            // one line for the request log
};

// Carries out one request (a header and its input, as read) on target.
Outcome carry_out(ControlTarget &device, const uint8_t *header, const uint8_t *input,
                  size_t input_length);

// The reply as sent: its header, then the bytes.
std::vector<uint8_t> encode_reply(const Outcome &outcome);

} // namespace qeldriver

#endif
