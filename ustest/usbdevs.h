// Device discovery and the I/O control channel to the device's driver.
// The selection rules, request layout and byte-count checks live in
// usbdevs.cpp; the operating system is reached only through usbdevs_os.h,
// implemented once for Windows and once for everything else.
#ifndef USTEST_USBDEVS_H
#define USTEST_USBDEVS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "channelwire.h"
#include "uscause.h"

#ifdef _WIN32
typedef wchar_t usbdevs_char;   // paths and names are UTF-16 on Windows
#else
typedef char usbdevs_char;      // and UTF-8 elsewhere
#endif

enum {
    USBDEVS_MAX_DEVICES = 10,
    USBDEVS_PATH_CAPACITY = 260,
    USBDEVS_IOCTL_CODE = QEL_CONTROL_CODE,
    USBDEVS_FUNCTION_VENDOR_DEVICE = QEL_CONTROL_FUNCTION_VENDOR_DEVICE,
};

struct usbdevs_entry {
    uint32_t word;                              // unused on every platform
    usbdevs_char path[USBDEVS_PATH_CAPACITY];   // device interface path
};

struct usbdevs_context {
    usbdevs_entry dev[USBDEVS_MAX_DEVICES];     // only dev[0] is used
    // Why the last request on this context failed (a us_cause), as the
    // calling thread's last error would say it; US_CAUSE_NONE after one that
    // went through. The status codes stay what they are; this only names them.
    int cause;
};

#pragma pack(push, 1)
// The header at the start of every I/O control request; the driver reads it
// little-endian. The field offsets are QEL_CONTROL_*_AT in channelwire.h.
struct usbdevs_request {
    uint32_t direction;   // QEL_CONTROL_OUT or QEL_CONTROL_IN
    uint32_t length;      // payload length of a write, 0 for a read
    uint16_t function;    // USBDEVS_FUNCTION_VENDOR_DEVICE
    uint16_t value;
    uint16_t index;
    uint8_t reserved;
    uint8_t request;
};
#pragma pack(pop)
static_assert(sizeof(usbdevs_request) == QEL_CONTROL_HEADER, "the request header's size");
static_assert(offsetof(usbdevs_request, direction) == QEL_CONTROL_DIRECTION_AT
                  && offsetof(usbdevs_request, length) == QEL_CONTROL_LENGTH_AT
                  && offsetof(usbdevs_request, function) == QEL_CONTROL_FUNCTION_AT
                  && offsetof(usbdevs_request, value) == QEL_CONTROL_VALUE_AT
                  && offsetof(usbdevs_request, index) == QEL_CONTROL_INDEX_AT
                  && offsetof(usbdevs_request, reserved) == QEL_CONTROL_RESERVED_AT
                  && offsetof(usbdevs_request, request) == QEL_CONTROL_REQUEST_AT,
              "the request header's fields lie where the driver reads them");

typedef void *usbdevs_handle;   // an open channel; USBDEVS_INVALID_HANDLE on failure
#define USBDEVS_INVALID_HANDLE ((usbdevs_handle)(intptr_t)-1)

int usbdevs_init(usbdevs_context *ctx);
int usbdevs_exit(usbdevs_context *ctx);
int usbdevs_open_index(usbdevs_context *ctx, usbdevs_context **handle_out, uint8_t number);
// Every interface of every device whose driver service is "qel", in
// enumeration order: stores the first `capacity` interface paths in entries
// (may be null) and returns how many there are; -1 when the device list
// cannot be had. A path too long for an entry is left out.
int usbdevs_list(usbdevs_entry *entries, int capacity);
// Makes ctx use the channel of the interface at `path`, one that
// usbdevs_list gave, instead of the first one found; 0 on success.
int usbdevs_open_path(usbdevs_context *ctx, usbdevs_context **handle_out, const usbdevs_char *path);
// The name of the device behind an interface path, UTF-8, read off the path
// alone: the registry entry's name outside Windows, the device instance id
// on Windows. What the device's records and traces call it.
std::string usbdevs_device_name(const usbdevs_char *path);
int usbdevs_write(usbdevs_context *ctx, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length, const void *data);
int usbdevs_read(usbdevs_context *ctx, uint8_t request, uint16_t value, uint16_t index,
                 uint16_t length, void *buffer);

int usbdevs_find(const usbdevs_char *name, usbdevs_char *path_out, size_t capacity,
                 int *status_out);
usbdevs_handle usbdevs_open(const usbdevs_char *path);
int usbdevs_ioctl(usbdevs_handle handle, const void *in, uint32_t in_length, void *out,
                  uint32_t out_length);
void usbdevs_print_last_error(void);

// The cause of the last failed request on ctx (US_CAUSE_NO_DEVICE for null).
// Inline, so that whichever channel is linked (the real one or a test's)
// only has to fill the field.
inline us_cause usbdevs_last_cause(const usbdevs_context *ctx)
{
    if (!ctx)
        return US_CAUSE_NO_DEVICE;
    return ctx->cause >= 0 && ctx->cause < US_CAUSE_COUNT ? us_cause(ctx->cause)
                                                           : US_CAUSE_REFUSED;
}

#endif
