// What stands behind the driver side of the device channel: a device that
// carries out vendor control transfers on endpoint 0. The emulated device is
// one; a real device reached over USB is another. Whoever serves the channel
// talks to this and nothing else, so the request rules hold the same for all.
#ifndef CHANNELDRIVER_CONTROLTARGET_H
#define CHANNELDRIVER_CONTROLTARGET_H

#include <cstddef>
#include <cstdint>

namespace qeldriver {

class ControlTarget {
public:
    virtual ~ControlTarget() = default;

    // Vendor OUT control transfer. 0 on success, else an errno value (EIO for a stall).
    virtual int control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                            size_t length) = 0;
    // Vendor IN control transfer of up to length bytes; *supplied = the bytes
    // the device supplied (it may supply fewer). 0 or an errno value.
    virtual int control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out,
                           size_t length, size_t *supplied) = 0;
};

} // namespace qeldriver

#endif
