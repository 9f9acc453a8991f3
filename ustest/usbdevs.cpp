// Device discovery and the I/O control channel, written once for every
// platform; the operating system is reached only through usbdevs_os.h.
#include "usbdevs.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "channelwire.h"
#include "usbdevs_os.h"
#include "usdiag.h"
#include "usrecorder.h"

namespace {

// The diagnostics keep the module's historical source name on every platform.
const char k_source[] = "..\\ustest\\usbdevs_win";

const usbdevs_char k_service[] = USBDEVS_TEXT("qel");
const usbdevs_char k_reference[] = { USBDEVS_SEPARATOR, 'q', 'e', 'l', 0 };

enum {
    REQUEST_HEADER = QEL_CONTROL_HEADER,
    MIN_REQUEST = QEL_CONTROL_MIN_INPUT,
    SERVICE_CHARS = 128,
};

typedef std::char_traits<usbdevs_char> traits;

size_t bounded_length(const usbdevs_char *s, size_t max)
{
    size_t n = 0;
    while (n < max && s[n])
        ++n;
    return n;
}

// Copies src (at most src_max characters, not necessarily terminated) into
// dst of capacity characters. When it does not fit with its terminator, dst
// becomes empty rather than a shortened path that names something else.
int bounded_copy(usbdevs_char *dst, size_t capacity, const usbdevs_char *src, size_t src_max)
{
    if (capacity == 0)
        return 1;
    const size_t n = bounded_length(src, src_max);
    if (n >= capacity || n == src_max) {
        dst[0] = 0;
        return 1;
    }
    traits::copy(dst, src, n);
    dst[n] = 0;
    return 0;
}

// Appends src to the terminated string in dst; empties dst when the result
// would not fit.
int bounded_append(usbdevs_char *dst, size_t capacity, const usbdevs_char *src)
{
    const size_t have = bounded_length(dst, capacity);
    const size_t add = traits::length(src);
    if (have == capacity || have + add >= capacity) {
        if (capacity)
            dst[0] = 0;
        return 1;
    }
    traits::copy(dst + have, src, add + 1);
    return 0;
}

void put_le(uint8_t *p, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Lays out the 16-byte request header little-endian, whatever the host order.
void encode_header(uint8_t *out, uint32_t direction, uint32_t length, uint8_t request,
                   uint16_t value, uint16_t index)
{
    usbdevs_request r = {};
    r.direction = direction;
    r.length = length;
    r.function = USBDEVS_FUNCTION_VENDOR_DEVICE;
    r.value = value;
    r.index = index;
    r.request = request;
    put_le(out + QEL_CONTROL_DIRECTION_AT, r.direction, 4);
    put_le(out + QEL_CONTROL_LENGTH_AT, r.length, 4);
    put_le(out + QEL_CONTROL_FUNCTION_AT, r.function, 2);
    put_le(out + QEL_CONTROL_VALUE_AT, r.value, 2);
    put_le(out + QEL_CONTROL_INDEX_AT, r.index, 2);
    out[QEL_CONTROL_RESERVED_AT] = r.reserved;
    out[QEL_CONTROL_REQUEST_AT] = r.request;
}

void print_error(uint32_t code)
{
    usbdevs_os_print_error_code(code);
    usbdevs_os_print_error_text(code);
}

} // namespace

int usbdevs_init(usbdevs_context *ctx)
{
    std::memset(ctx, 0, sizeof *ctx);
    return 0;
}

int usbdevs_exit(usbdevs_context *)
{
    return 0;
}

int usbdevs_open_index(usbdevs_context *ctx, usbdevs_context **handle_out, uint8_t number)
{
    if (number != 0)
        return 1;
    int status = 0;
    if (!usbdevs_find(k_service, ctx->dev[0].path, USBDEVS_PATH_CAPACITY, &status))
        return 1;
    // An interface path that did not fit has left the entry empty; opening
    // anything for it would reach the wrong channel, so the device is not used.
    if (status != 0)
        return 1;
    if (handle_out)
        *handle_out = ctx;
    return 0;
}

namespace {

// Walks every interface of every present device, in enumeration order, and
// hands each one with whether its device's service is `name` to visit.
// False when the device list cannot be had.
template <typename Visit>
bool walk_interfaces(const usbdevs_char *name, Visit visit)
{
    usbdevs_os_list *list = usbdevs_os_devices();
    if (!list) {
        usbdevs_os_print_error_number(73);
        return false;
    }

    for (uint32_t device = 0; usbdevs_os_device(list, device); ++device) {
        // One character is never offered, so the name always ends in a NUL.
        usbdevs_char service[SERVICE_CHARS] = {};
        if (!usbdevs_os_service(list, service, sizeof service - sizeof service[0])) {
            usbdevs_os_print_error_number(94);
            service[0] = 0;
        }
        const bool matches = name && traits::length(service) == traits::length(name)
                             && traits::compare(service, name, traits::length(name)) == 0;

        for (uint32_t member = 0; usbdevs_os_interface(list, member); ++member) {
            const uint32_t size = usbdevs_os_detail_size(list);
            if (size == 0) {
                usbdevs_os_print_error_number(129);
                continue;
            }
            void *record = std::malloc(size);
            if (!record) {
                usbdevs_os_print_error_number(135);
                continue;
            }
            std::memset(record, 0, size);
            size_t max_chars = 0;
            const usbdevs_char *path = usbdevs_os_detail(list, record, size, &max_chars);
            if (!path) {
                usbdevs_os_print_error_number(147);
                std::free(record);
                continue;
            }
            visit(matches, path, max_chars);
            std::free(record);
        }
    }
    usbdevs_os_devices_free(list);
    return true;
}

} // namespace

int usbdevs_find(const usbdevs_char *name, usbdevs_char *path_out, size_t capacity,
                 int *status_out)
{
    int found = 0;
    walk_interfaces(name, [&](bool matches, const usbdevs_char *path, size_t max_chars) {
        if (!matches)
            return;
        if (path_out) {
            std::memset(path_out, 0, capacity * sizeof *path_out);
            const int status = bounded_copy(path_out, capacity, path, max_chars);
            if (status_out)
                *status_out = status;
        }
        found = 1;
    });
    return found;
}

int usbdevs_list(usbdevs_entry *entries, int capacity)
{
    int count = 0;
    const bool listed = walk_interfaces(k_service, [&](bool matches, const usbdevs_char *path,
                                                       size_t max_chars) {
        if (!matches)
            return;
        usbdevs_char copy[USBDEVS_PATH_CAPACITY] = {};
        // A path that does not fit would name another channel once cut short.
        if (bounded_copy(copy, USBDEVS_PATH_CAPACITY, path, max_chars) != 0 || copy[0] == 0)
            return;
        if (entries && count < capacity) {
            entries[count].word = 0;
            traits::copy(entries[count].path, copy, USBDEVS_PATH_CAPACITY);
        }
        ++count;
    });
    return listed ? count : -1;
}

int usbdevs_open_path(usbdevs_context *ctx, usbdevs_context **handle_out, const usbdevs_char *path)
{
    if (!ctx || !path)
        return 1;
    usbdevs_char copy[USBDEVS_PATH_CAPACITY] = {};
    if (bounded_copy(copy, USBDEVS_PATH_CAPACITY, path, USBDEVS_PATH_CAPACITY) != 0 || copy[0] == 0)
        return 1;
    traits::copy(ctx->dev[0].path, copy, USBDEVS_PATH_CAPACITY);
    if (handle_out)
        *handle_out = ctx;
    return 0;
}

namespace {

// usbdevs_open and usbdevs_ioctl, also naming the cause of a failure: the
// system's error code is translated here, once, right where it arises.
usbdevs_handle open_channel(const usbdevs_char *path, us_cause *cause, uint32_t *error = nullptr)
{
    usbdevs_char channel[USBDEVS_PATH_CAPACITY] = {};
    // An empty interface path names no device: it must not become a channel
    // path of its own (the bare reference name at the root).
    if (bounded_copy(channel, USBDEVS_PATH_CAPACITY, path, USBDEVS_PATH_CAPACITY) == 0
        && channel[0] != 0) {
        for (size_t i = traits::length(channel); i-- > 0;) {
            if (channel[i] == USBDEVS_SEPARATOR) {
                channel[i] = 0;
                break;
            }
        }
        bounded_append(channel, USBDEVS_PATH_CAPACITY, k_reference);
    }

    usbdevs_handle handle = usbdevs_os_channel_open(channel);
    *cause = US_CAUSE_NONE;
    if (handle == USBDEVS_INVALID_HANDLE) {
        const uint32_t code = usbdevs_os_last_error();
        if (error)
            *error = code;
        // An entry without a path was never a device at all.
        *cause = channel[0] == 0 ? US_CAUSE_NO_DEVICE : usbdevs_os_cause(code);
        print_error(code);
        usbdevs_os_print_error_number(200);
    }
    return handle;
}

int ioctl_channel(usbdevs_handle handle, const void *in, uint32_t in_length, void *out,
                  uint32_t out_length, us_cause *cause, uint32_t *error = nullptr,
                  uint32_t *returned_out = nullptr)
{
    uint32_t returned = 0;
    *cause = US_CAUSE_NONE;
    if (!usbdevs_os_channel_ioctl(handle, USBDEVS_IOCTL_CODE, in, in_length, out, out_length,
                                  &returned)) {
        // Taken first: printing the site line may disturb it.
        const uint32_t code = usbdevs_os_last_error();
        if (error)
            *error = code;
        *cause = usbdevs_os_cause(code);
        us_diag(k_source, 223);
        print_error(code);
        return 1;
    }
    if (returned_out)
        *returned_out = returned < out_length ? returned : out_length;
    if (returned != out_length) {
        *cause = US_CAUSE_MALFORMED;
        us_diag(k_source, 229);
        return 1;
    }
    return 0;
}

// What the recorder is told of a request that never reached the channel
// because it would not open.
void record_open_failure(const usbdevs_context *ctx, uint32_t error, us_cause cause,
                         uint64_t began)
{
    us_record_open_failure(usbdevs_os_device_name(ctx->dev[0].path).c_str(), error, cause, began);
}

} // namespace

usbdevs_handle usbdevs_open(const usbdevs_char *path)
{
    us_cause cause;
    return open_channel(path, &cause);
}

int usbdevs_ioctl(usbdevs_handle handle, const void *in, uint32_t in_length, void *out,
                  uint32_t out_length)
{
    us_cause cause;
    return ioctl_channel(handle, in, in_length, out, out_length, &cause);
}

int usbdevs_write(usbdevs_context *ctx, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length, const void *data)
{
    us_cause cause = US_CAUSE_REFUSED;   // a request that is not one
    ctx->cause = cause;
    if (length == 0) {
        us_diag(k_source, 244);
        return 1;
    }
    if (!data) {
        us_diag(k_source, 245);
        return 1;
    }

    const bool recording = us_recording();
    const uint64_t began = recording ? us_record_clock_ns() : 0;
    uint32_t error = 0;
    usbdevs_handle handle = open_channel(ctx->dev[0].path, &cause, &error);
    ctx->cause = cause;
    if (handle == USBDEVS_INVALID_HANDLE) {
        if (recording)
            record_open_failure(ctx, error, cause, began);
        us_diag(k_source, 248);
        return 1;
    }

    const size_t size = length + REQUEST_HEADER < MIN_REQUEST ? MIN_REQUEST
                                                              : length + REQUEST_HEADER;
    uint8_t *buffer = static_cast<uint8_t *>(usbdevs_os_page_alloc(size));
    if (!buffer) {
        usbdevs_os_channel_close(handle);
        ctx->cause = US_CAUSE_REFUSED;
        us_diag(k_source, 257);
        return 1;
    }
    std::memset(buffer, 0, size);
    std::memcpy(buffer + REQUEST_HEADER, data, length);
    encode_header(buffer, QEL_CONTROL_OUT, length, request, value, index);

    const int result = ioctl_channel(handle, buffer, static_cast<uint32_t>(size), nullptr, 0,
                                     &cause, &error);
    ctx->cause = cause;
    if (recording)
        us_record_write(usbdevs_os_device_name(ctx->dev[0].path).c_str(), request,
                        static_cast<const uint8_t *>(data), length, error, cause, began);

    usbdevs_os_page_free(buffer, size);
    usbdevs_os_channel_close(handle);
    return result;
}

int usbdevs_read(usbdevs_context *ctx, uint8_t request, uint16_t value, uint16_t index,
                 uint16_t length, void *buffer)
{
    us_cause cause;
    const bool recording = us_recording();
    const uint64_t began = recording ? us_record_clock_ns() : 0;
    uint32_t error = 0;
    usbdevs_handle handle = open_channel(ctx->dev[0].path, &cause, &error);
    ctx->cause = cause;
    if (handle == USBDEVS_INVALID_HANDLE) {
        if (recording)
            record_open_failure(ctx, error, cause, began);
        return 1;
    }

    uint8_t in[MIN_REQUEST] = {};   // the header and four zero bytes
    encode_header(in, QEL_CONTROL_IN, 0, request, value, index);

    uint32_t returned = 0;
    const int result = ioctl_channel(handle, in, sizeof in, buffer, length, &cause, &error,
                                     &returned);
    ctx->cause = cause;
    if (recording)
        us_record_read(usbdevs_os_device_name(ctx->dev[0].path).c_str(), request, length,
                       static_cast<const uint8_t *>(buffer), returned, error, cause, began);
    usbdevs_os_channel_close(handle);
    return result;
}

std::string usbdevs_device_name(const usbdevs_char *path)
{
    return usbdevs_os_device_name(path);
}

void usbdevs_print_last_error(void)
{
    print_error(usbdevs_os_last_error());
}
