#include "usctl.h"

#include <cstring>

#include "usctlmsg.h"
#include "ussleep.h"
#include "ustrace.h"

using namespace usctl_detail;

namespace {

const int kSendTries = 10;
const int kReadyPolls = 1000;

usbdevs_context *context_of(usctl_handle *dev)
{
    return dev ? *dev : nullptr;
}

// Commands that ask a one-tag question and take the first integer answer
// with the same tag.
int query(usctl_handle *dev, uint8_t tag, uint32_t *out, std::initializer_list<int> lines,
          int read_line)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    if (send_request(dev, &msg, {{tag, USMSG_TYPE_NONE, 0}}, lines) != 0)
        return 1;
    for (uint8_t polls = 100; polls > 0; --polls) {
        if (usctl_recv(dev, &msg) != 0) {
            diag(read_line);
            return 1;
        }
        Item item;
        uint32_t value;
        while (next_item(&msg, &item)) {
            if (item.tag == tag && item.integer(&value)) {
                if (out)
                    *out = value;
                return 0;
            }
        }
        if (polls > 1)
            us_sleep_ms(kPollMs);
    }
    set_cause(dev, US_CAUSE_REFUSED);   // it answered, but never with this
    return 1;
}

void store_u16(void *dest, uint32_t value, uint8_t length)
{
    const uint16_t v = uint16_t(value);
    if (length >= sizeof v) {
        std::memcpy(dest, &v, sizeof v);
    } else if (length == 1) {
        // Only one byte of room: the low byte, wherever the host keeps it.
        static_cast<uint8_t *>(dest)[0] = uint8_t(v);
    }
}

} // namespace

us_cause usctl_last_cause(usctl_handle *dev)
{
    return usbdevs_last_cause(context_of(dev));
}

int usctl_init(usctl_device *dev)
{
    if (!dev)
        return 1;
    return usbdevs_init(&dev->ctx);
}

int usctl_exit(usctl_device *dev)
{
    if (!dev)
        return 1;
    usbdevs_exit(&dev->ctx);
    dev->next_number = 0;
    return 0;
}

int usctl_open(usctl_device *dev, usctl_handle *handle_out)
{
    if (!dev)
        return 1;
    for (unsigned n = dev->next_number; n <= 9; ++n) {
        usbdevs_context *found = nullptr;
        const int status = usbdevs_open_index(&dev->ctx, &found, uint8_t(n));
        dev->next_number = uint8_t(n + 1);
        if (status == 0) {
            if (handle_out)
                *handle_out = found;
            return 0;
        }
    }
    return 1;
}

int usctl_send(usctl_handle *dev, UsMsg *msg)
{
    if (!msg)
        return 1;
    const unsigned length = msg->position;
    if (length > kMessageSize) {
        diag(44);
        return 1;
    }
    usbdevs_context *ctx = context_of(dev);
    if (!ctx) {
        diag(60);
        return 1;
    }
    for (int tries = 0; tries < kSendTries; ++tries) {
        if (usbdevs_write(ctx, kRequestWrite, 0, 0, uint16_t(length), msg->buf) == 0)
            return 0;
        diag(53);
        if (failed_for_good(dev))
            break;
        us_sleep_ms(kPollMs);
    }
    diag(60);
    return 1;
}

int usctl_recv(usctl_handle *dev, UsMsg *msg)
{
    if (!msg)
        return 1;
    usmsg_reset(msg);
    unsigned length = msg->capacity;
    if (length > kMessageSize) {
        diag(77);
        length = kMessageSize;
    }
    usbdevs_context *ctx = context_of(dev);
    if (!ctx || usbdevs_read(ctx, kRequestRead, 0, 0, uint16_t(length), msg->buf) != 0) {
        diag(84);
        return 1;
    }
    return 0;
}

int usctl_wait_ready(usctl_handle *dev)
{
    // Nothing to poll without a device; a thousand failed reads would only
    // delay the same answer by five seconds.
    if (!context_of(dev))
        return 1;
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    for (int polls = 0; polls < kReadyPolls; ++polls) {
        if (usctl_recv(dev, &msg) != 0) {
            diag(109);
            if (failed_for_good(dev))
                return 1;
            us_sleep_ms(kPollMs);
            continue;
        }
        bool busy = false;
        Item item;
        uint32_t value;
        while (next_item(&msg, &item)) {
            if (item.tag != kTagReady || !item.integer(&value))
                continue;
            if (value != 0)
                return 0;
            busy = true;
        }
        if (!busy)
            return 0;
        us_sleep_ms(kPollMs);
    }
    // The last poll's own failure, if it failed, says more than "busy".
    if (usctl_last_cause(dev) == US_CAUSE_NONE)
        set_cause(dev, US_CAUSE_BUSY);
    return 1;
}

int usctl_get_info(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out, int wanted)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    if (send_request(dev, &msg, {{kTagInfoRequest, USMSG_TYPE_NONE, 0}}, {771, 775, 779, 783}) != 0)
        return 1;
    bool malformed = false;   // an answer of a type that holds no such value
    for (int poll = 0; poll < 100; ++poll) {
        if (poll > 0)
            us_sleep_ms(kPollMs);
        if (usctl_recv(dev, &msg) != 0) {
            diag(790);
            return 1;
        }
        Item item;
        while (next_item(&msg, &item)) {
            if (item.tag == kTagDebug) {
                if (item.type == USMSG_TYPE_BYTES) {
                    us_trace_text("\ndbg:");
                    usctl_print_text(item.bytes(), item.length);
                    us_trace_text("\n");
                }
                continue;
            }
            if (item.tag != wanted)
                continue;
            const uint8_t length = item.length < max ? item.length : max;
            if (item.type == USMSG_TYPE_BYTES) {
                if (dest)
                    std::memcpy(dest, item.bytes(), length);
            } else if (item.type == USMSG_TYPE_U16) {
                if (dest)
                    store_u16(dest, uint32_t(item.value), length);
            } else {
                diag(813);
                set_cause(dev, US_CAUSE_MALFORMED);
                malformed = true;
                break;
            }
            if (length_out)
                *length_out = length;
            if (length != 0)
                return 0;
            break;
        }
    }
    diag(826);
    // A device that answers but leaves out what was asked refuses it.
    set_cause(dev, malformed ? US_CAUSE_MALFORMED : US_CAUSE_REFUSED);
    return 1;
}

int usctl_get_version(usctl_handle *dev, uint16_t *out)
{
    return usctl_get_info(dev, out, sizeof *out, nullptr, kTagVersion);
}

int usctl_get_build(usctl_handle *dev, uint16_t *out)
{
    return usctl_get_info(dev, out, sizeof *out, nullptr, kTagBuild);
}

int usctl_get_product(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out)
{
    return usctl_get_info(dev, dest, max, length_out, kTagProduct);
}

int usctl_get_info53(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out)
{
    return usctl_get_info(dev, dest, max, length_out, 53);
}

int usctl_get_info54(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out)
{
    return usctl_get_info(dev, dest, max, length_out, 54);
}

int usctl_get_checksum(usctl_handle *dev, uint32_t check_size, uint32_t *out)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    if (send_request(dev, &msg, {{kTagChecksumRequest, USMSG_TYPE_U32, check_size}},
                     {402, 406, 410, 414}) != 0)
        return 1;
    for (int poll = 0; poll < 6000; ++poll) {
        if (poll > 0)
            us_sleep_ms(kPollMs);
        if (usctl_recv(dev, &msg) != 0) {
            diag(424);
            return 1;
        }
        Item item;
        uint32_t value;
        while (next_item(&msg, &item)) {
            if (item.tag == kTagChecksum && item.integer(&value)) {
                if (out)
                    *out = value;
                return 0;
            }
        }
    }
    set_cause(dev, US_CAUSE_REFUSED);   // it answered, but never with this
    return 1;
}

int usctl_get_debug(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    if (usctl_recv(dev, &msg) != 0) {
        diag(456);
        return 1;
    }
    Item item;
    while (next_item(&msg, &item) && item.tag != 0) {
        if (item.tag != kTagDebug || item.type != USMSG_TYPE_BYTES)
            continue;
        const uint8_t length = item.length < max ? item.length : max;
        if (dest)
            std::memcpy(dest, item.bytes(), length);
        if (length_out)
            *length_out = length;
    }
    return 0;
}

int usctl_cmd19(usctl_handle *dev, int value)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    return send_request(dev, &msg, {{19, USMSG_TYPE_U8, uint8_t(value)}}, {510, 514, 518, 522});
}

int usctl_cmd21(usctl_handle *dev, int value)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    return send_request(dev, &msg, {{21, USMSG_TYPE_U8, uint8_t(value)}}, {719, 723, 727, 731});
}

int usctl_cmd23(usctl_handle *dev, uint32_t value)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    return send_request(dev, &msg, {{23, USMSG_TYPE_U32, value}}, {552, 556, 560, 564});
}

int usctl_query24(usctl_handle *dev, uint32_t *out)
{
    return query(dev, kTagQuery24, out, {593, 597, 601, 605}, 611);
}

int usctl_query20(usctl_handle *dev, uint8_t *out)
{
    uint32_t value = 0;
    if (query(dev, kTagQuery20, &value, {652, 656, 660, 664}, 670) != 0) {
        diag(692);
        return 1;
    }
    if (out)
        *out = uint8_t(value);
    return 0;
}

int usctl_get_param(usctl_handle *dev, uint8_t s1, uint8_t s2, uint8_t tag, uint8_t *out)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    if (send_request(dev, &msg,
                     {{kTagSelector1, USMSG_TYPE_U8, s1},
                      {kTagSelector2, USMSG_TYPE_U8, s2},
                      {tag, USMSG_TYPE_NONE, 0}},
                     {969, 978, 987, 992, 996, 1000}) != 0)
        return 1;
    for (int poll = 0; poll < 100; ++poll) {
        if (poll > 0)
            us_sleep_ms(kPollMs);
        if (usctl_recv(dev, &msg) != 0) {
            diag(1008);
            return 1;
        }
        bool pending = true;
        Item item;
        uint32_t value = 0;
        while (next_item(&msg, &item)) {
            if (item.tag == kTagSelector1) {
                // A wrong echo is reported but does not spoil the answer.
                if (!item.integer(&value) || value != s1)
                    diag(1022);
            } else if (item.tag == kTagSelector2) {
                if (!item.integer(&value) || value != s2)
                    diag(1027);
            } else if (item.tag == tag && item.integer(&value)) {
                if (out)
                    *out = uint8_t(value);
                pending = false;
            }
        }
        if (!pending)
            return 0;
    }
    set_cause(dev, US_CAUSE_REFUSED);   // it answered, but never with this
    return 1;
}

int usctl_set_param(usctl_handle *dev, uint8_t s1, uint8_t s2, uint8_t tag, uint8_t value)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    if (usctl_put_param_items(&msg, s1, s2, tag, value) != 0)
        return 1;
    return end_and_send(dev, &msg, 925, 929, 933);
}

int usctl_put_param_items(UsMsg *msg, uint8_t s1, uint8_t s2, uint8_t tag, uint8_t value)
{
    if (!msg)
        return 1;
    const UsMsg saved = *msg;
    const RequestItem items[] = {
        {kTagSelector1, USMSG_TYPE_U8, s1},
        {kTagSelector2, USMSG_TYPE_U8, s2},
        {tag, USMSG_TYPE_U8, value},
    };
    const int lines[] = {874, 883, 892};
    for (int i = 0; i < 3; ++i) {
        if (usmsg_put(msg, items[i].tag, items[i].type, items[i].value, 0) != 0) {
            diag(lines[i]);
            *msg = saved;
            return 1;
        }
    }
    return 0;
}

int usctl_set_param131(usctl_handle *dev, int s1, int s2, int value)
{
    return usctl_set_param(dev, uint8_t(s1), uint8_t(s2), 131, uint8_t(value));
}

int usctl_get_param197(usctl_handle *dev, int s1, int s2, uint8_t *out)
{
    return usctl_get_param(dev, uint8_t(s1), uint8_t(s2), 197, out);
}

namespace {

// The fixed-selector parameter wrappers each report their own failure line.
int get_param_reported(usctl_handle *dev, uint8_t s1, uint8_t s2, uint8_t tag, int line, int *out)
{
    uint8_t value = 0;
    if (usctl_get_param(dev, s1, s2, tag, &value) != 0) {
        diag(line);
        return 1;
    }
    if (out)
        *out = value;
    return 0;
}

int set_param_reported(usctl_handle *dev, uint8_t s1, uint8_t s2, uint8_t tag, int value, int line)
{
    if (usctl_set_param(dev, s1, s2, tag, uint8_t(value)) != 0) {
        diag(line);
        return 1;
    }
    return 0;
}

} // namespace

int usctl_get_param198(usctl_handle *dev, int *out)
{
    return get_param_reported(dev, 4, 1, 198, 1051, out);
}

int usctl_set_param138(usctl_handle *dev, int value)
{
    return set_param_reported(dev, 4, 1, 138, value, 1060);
}

int usctl_get_param199(usctl_handle *dev, int *out)
{
    return get_param_reported(dev, 1, 1, 199, 1070, out);
}

int usctl_set_param67(usctl_handle *dev, int value)
{
    return set_param_reported(dev, 1, 1, 67, value, 1080);
}

void usctl_print_text(const void *bytes, int count)
{
    if (!bytes)
        return;
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    int n = 0;
    while (n < count && p[n] != 0)
        ++n;
    us_trace(reinterpret_cast<const char *>(p), size_t(n));
}
