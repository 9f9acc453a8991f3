#include "usbtarget.h"

#include <cerrno>

#include <libusb.h>

namespace usbbridge {

int UsbTarget::channel_error(int libusb_error)
{
    switch (libusb_error) {
    case LIBUSB_ERROR_TIMEOUT:
        return ETIMEDOUT;
    case LIBUSB_ERROR_NO_DEVICE:
        return ENODEV;
    case LIBUSB_ERROR_ACCESS:   // access taken away (another user's session now)
        return EACCES;
    default:   // a stall, and whatever else the wire did
        return EIO;
    }
}

int UsbTarget::transfer(uint8_t request_type, uint8_t request, uint8_t *data, size_t length)
{
    if (gone_)
        return -ENODEV;
    if (!handle_)
        return -EIO;
    const int r = libusb_control_transfer(handle_, request_type, request, 0, 0, data,
                                          static_cast<uint16_t>(length), kTimeoutMs);
    if (r == LIBUSB_ERROR_NO_DEVICE)
        gone_ = true;
    return r < 0 ? -channel_error(r) : r;
}

int UsbTarget::control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                           size_t length)
{
    if (request != QEL_REQUEST_MESSAGE || value != 0 || index != 0 || length == 0
        || length > QEL_MESSAGE_SIZE)
        return EIO;
    // libusb takes a mutable buffer for both directions; an OUT transfer only reads it.
    uint8_t copy[QEL_MESSAGE_SIZE];
    for (size_t i = 0; i < length; ++i)
        copy[i] = data[i];
    const int r = transfer(LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE,
                           request, copy, length);
    if (r < 0)
        return -r;
    // A device that took fewer bytes than sent did not take the message.
    return static_cast<size_t>(r) == length ? 0 : EIO;
}

int UsbTarget::control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out,
                          size_t length, size_t *supplied)
{
    *supplied = 0;
    if (request != QEL_REQUEST_REPLY || value != 0 || index != 0 || length > QEL_MESSAGE_SIZE)
        return EIO;
    const int r = transfer(LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE,
                           request, out, length);
    if (r < 0)
        return -r;
    *supplied = static_cast<size_t>(r) <= length ? static_cast<size_t>(r) : length;
    return 0;
}

} // namespace usbbridge
