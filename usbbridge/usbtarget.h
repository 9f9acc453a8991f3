// A real device behind the device channel: the channel's vendor control
// transfers become libusb control transfers on endpoint 0. Only the two
// requests the Qel device knows are forwarded; a vendor request means
// something else to another device, so nothing else reaches the wire.
#ifndef USBBRIDGE_USBTARGET_H
#define USBBRIDGE_USBTARGET_H

#include <cstddef>
#include <cstdint>

#include "channelwire.h"
#include "controltarget.h"

struct libusb_device_handle;

namespace usbbridge {

class UsbTarget : public qeldriver::ControlTarget {
public:
    // handle stays the caller's; it is only used. The bridge opens the
    // device for a request and closes it after (or once an update has
    // ended), so the handle is set anew each time; none: transfers fail.
    explicit UsbTarget(libusb_device_handle *handle = nullptr) : handle_(handle) {}
    void set_handle(libusb_device_handle *handle) { handle_ = handle; }

    int control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                    size_t length) override;
    int control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out, size_t length,
                   size_t *supplied) override;

    // A transfer found the device gone: its entry is to be removed.
    bool gone() const { return gone_; }
    // The device was found gone other than by a transfer (its opening).
    void mark_gone() { gone_ = true; }

    // Below the channel's limit, so that a device that does not answer is
    // reported to the client rather than the client giving up first.
    static constexpr unsigned kTimeoutMs = 2000;
    static_assert(kTimeoutMs < QEL_CHANNEL_TIME_LIMIT_MS,
                  "a transfer must end before the client stops waiting");

    // libusb's error as the channel reports it.
    static int channel_error(int libusb_error);

private:
    int transfer(uint8_t request_type, uint8_t request, uint8_t *data, size_t length);

    libusb_device_handle *handle_;
    bool gone_ = false;
};

} // namespace usbbridge

#endif
