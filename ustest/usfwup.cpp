// The firmware transfer: the start message, then status requests answered
// with the offset the device expects and the room it has, bursts of data
// blocks into that room, and the completion phase.
#include "usctl.h"
#include "usctlmsg.h"
#include "ussleep.h"
#include "ustrace.h"

using namespace usctl_detail;

namespace {

void print_debug_block(const Item &item)
{
    us_trace_text("\n\n--debug--\n");
    us_trace(reinterpret_cast<const char *>(item.bytes()), item.length);
    us_trace_text("\n---------\n");
}

const uint32_t kNotReported = 0xFFFFFFFFu;

} // namespace

int usctl_fwup(usctl_handle *dev, const uint8_t *image, uint32_t size,
               std::atomic<uint32_t> *progress)
{
    uint8_t buf[kMessageSize] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);

    if (!image && size > 0) {
        diag(163);
        return 1;
    }
    if (send_request(dev, &msg, {{kTagStart, USMSG_TYPE_U32, size}}, {163, 167, 171, 175}) != 0)
        return 1;

    uint32_t acked = 0;
    uint32_t retries = 0;
    while (acked < size) {
        us_tracef("pos = %u/%u\n", unsigned(acked), unsigned(size));
        if (send_request(dev, &msg, {{kTagStatus, USMSG_TYPE_NONE, 0}}, {188, 192, 196, 200}) != 0)
            return 1;

        // Room and offset may come in different replies; both must be seen.
        uint32_t room = kNotReported;
        uint32_t offset = kNotReported;
        for (int polls = 10000;;) {
            if (usctl_recv(dev, &msg) != 0) {
                diag(212);
                return 1;
            }
            Item item;
            uint32_t value;
            while (next_item(&msg, &item) && item.tag != 0) {
                if (item.tag == kTagRoom && item.integer(&value))
                    room = value;
                else if (item.tag == kTagOffset && item.integer(&value))
                    offset = value;
                else if (item.tag == kTagDebug && item.type == USMSG_TYPE_BYTES)
                    print_debug_block(item);
            }
            if (room != kNotReported && offset != kNotReported)
                break;
            if (--polls == 0) {
                diag(244);
                set_cause(dev, US_CAUSE_REFUSED);   // it answered, never with both
                return 1;
            }
            us_sleep_ms(kPollMs);
        }

        int reason = 0;
        if (room == 0) {
            reason = 250;
        } else if (offset != acked) {
            // The device resumes from its own count: wait for it to report
            // ours rather than jumping to its offset.
            us_tracef("offset = %u, pos = %u\n", unsigned(offset), unsigned(acked));
            reason = 252;
        }
        if (reason != 0) {
            if (++retries > 2000) {
                diag(260);
                us_tracef("timeout line:%d\n", reason);
                // No room all along is a device that stayed busy.
                set_cause(dev, reason == 250 ? US_CAUSE_BUSY : US_CAUSE_TIMEOUT);
                return 1;
            }
            us_sleep_ms(kPollMs);
            continue;
        }

        uint32_t pos = offset;
        uint32_t left = room;
        while (pos < size && left > 0) {
            uint32_t n = size - pos < left ? size - pos : left;
            uint8_t tag = kTagLastBlock;
            if (n > kBlockSize) {
                tag = kTagBlock;
                n = kBlockSize;
            }
            usmsg_reset(&msg);
            if (usmsg_put(&msg, tag, USMSG_TYPE_BYTES, reinterpret_cast<uintptr_t>(image + pos),
                          uint8_t(n)) != 0) {
                diag(287);
                return 1;
            }
            if (end_and_send(dev, &msg, 293, 297, 301) != 0)
                return 1;
            pos += n;
            left -= n;
            if (pos < size && progress)
                progress->store(pos, std::memory_order_relaxed);
        }
        acked = pos;
        retries = 0;
    }
    us_tracef("pos = %u/%u\n", unsigned(acked), unsigned(size));

    for (int attempt = 0; attempt < 20; ++attempt) {
        if (send_request(dev, &msg, {{kTagStatus, USMSG_TYPE_NONE, 0}}, {318, 322, 326, 330}) != 0)
            return 1;
        for (int reads = 0; reads < 10; ++reads) {
            if (usctl_recv(dev, &msg) != 0) {
                diag(337);
                return 1;
            }
            uint32_t room = 255;
            uint32_t offset = 0;
            Item item;
            uint32_t value;
            while (next_item(&msg, &item) && item.tag != 0) {
                if (item.tag == kTagRoom && item.integer(&value))
                    room = value;
                else if (item.tag == kTagOffset && item.integer(&value))
                    offset = value;
            }
            if (room == 0 && offset == size) {
                us_trace_text("FWUP OK\n");
                if (progress)
                    progress->store(acked, std::memory_order_relaxed);
                return 0;
            }
            us_sleep_ms(100);
        }
        us_sleep_ms(1000);
    }
    diag(372);
    set_cause(dev, US_CAUSE_TIMEOUT);
    return 1;
}
