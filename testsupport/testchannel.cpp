#include "testchannel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "usbdevs.h"
#include "usrecorder.h"
#include "ussleep.h"

namespace {

// The in-process device's name in a trace.
const char k_device_name[] = "in-process";

ChannelTarget *g_target = nullptr;
testchannel::Counters g_counters;

const char kDefaultPath[] = "test-channel";
std::string g_path = kDefaultPath;

// The device's interface path into an entry, terminated; a path longer than
// an entry holds was refused by set_path.
void put_path(usbdevs_char *out)
{
    for (size_t i = 0; i <= g_path.size(); ++i)
        out[i] = usbdevs_char(g_path.c_str()[i]);
}

void spend_latency()
{
    const uint32_t us = g_target->latency_us();
    if (us > 0)
        us_sleep_ms((us + 999) / 1000);
}

} // namespace

int ScriptedTarget::control_out(uint8_t, uint16_t, uint16_t, const uint8_t *data, size_t length)
{
    if (refuse_writes > 0) {
        --refuse_writes;
        return EIO;
    }
    sent.emplace_back(data, data + length);
    return 0;
}

int ScriptedTarget::control_in(uint8_t, uint16_t, uint16_t, uint8_t *out, size_t length,
                               size_t *supplied)
{
    ++reads;
    std::vector<uint8_t> reply;
    if (replies.empty() && gone_when_done) {
        *supplied = 0;
        return ENODEV;
    }
    if (!replies.empty()) {
        reply = std::move(replies.front());
        replies.pop_front();
    } else {
        reply = respond ? respond(*this) : idle;
    }
    reply.resize(std::max(reply.size(), length), 0);
    const size_t n = std::min(length, supply_limit);
    std::memcpy(out, reply.data(), n);
    *supplied = n;
    return 0;
}

namespace testchannel {

bool set_path(const std::string &path)
{
    if (path.size() >= USBDEVS_PATH_CAPACITY)
        return false;
    g_path = path.empty() ? std::string(kDefaultPath) : path;
    return true;
}

void attach(ChannelTarget *target) { g_target = target; }
ChannelTarget *attached() { return g_target; }
const Counters &counters() { return g_counters; }
void reset_counters() { g_counters = Counters(); }

} // namespace testchannel

int usbdevs_init(usbdevs_context *ctx)
{
    if (ctx)
        std::memset(ctx, 0, sizeof *ctx);
    return 0;
}

int usbdevs_exit(usbdevs_context *)
{
    return 0;
}

int usbdevs_open_index(usbdevs_context *ctx, usbdevs_context **handle_out, uint8_t number)
{
    ++g_counters.open_calls;
    if (number != 0 || !ctx || !g_target)
        return 1;
    put_path(ctx->dev[0].path);
    if (handle_out)
        *handle_out = ctx;
    return 0;
}

// The test channel has one device, at its one path.
int usbdevs_list(usbdevs_entry *entries, int capacity)
{
    if (!g_target)
        return 0;
    if (entries && capacity > 0) {
        std::memset(&entries[0], 0, sizeof entries[0]);
        put_path(entries[0].path);
    }
    return 1;
}

int usbdevs_open_path(usbdevs_context *ctx, usbdevs_context **handle_out, const usbdevs_char *path)
{
    ++g_counters.open_calls;
    if (!ctx || !path || !g_target)
        return 1;
    for (size_t i = 0; i <= g_path.size(); ++i)
        if (path[i] != usbdevs_char(g_path.c_str()[i]))
            return 1;
    put_path(ctx->dev[0].path);
    if (handle_out)
        *handle_out = ctx;
    return 0;
}

std::string usbdevs_device_name(const usbdevs_char *)
{
    return k_device_name;
}

int usbdevs_write(usbdevs_context *ctx, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length, const void *data)
{
    ++g_counters.writes;
    int status = 1;
    us_cause cause = g_target ? US_CAUSE_REFUSED : US_CAUSE_GONE;
    if (ctx && g_target && length > 0 && data) {
        // Recorded as the real channel records, so that the recorder's cost
        // can be measured on the in-process device.
        const bool recording = us_recording();
        const uint64_t began = recording ? us_record_clock_ns() : 0;
        spend_latency();
        const int error = g_target->control_out(request, value, index,
                                                static_cast<const uint8_t *>(data), length);
        // The target's errno values mean what a driver's would.
        cause = us_cause_of_errno(uint32_t(error));
        status = error == 0 ? 0 : 1;
        if (recording)
            us_record_write(k_device_name, request, static_cast<const uint8_t *>(data), length,
                            uint32_t(error), cause, began);
    }
    if (ctx)
        ctx->cause = cause;
    g_counters.failed_writes += status;
    return status;
}

int usbdevs_read(usbdevs_context *ctx, uint8_t request, uint16_t value, uint16_t index,
                 uint16_t length, void *buffer)
{
    ++g_counters.reads;
    int status = 1;
    us_cause cause = g_target ? US_CAUSE_REFUSED : US_CAUSE_GONE;
    if (ctx && g_target && buffer) {
        const bool recording = us_recording();
        const uint64_t began = recording ? us_record_clock_ns() : 0;
        spend_latency();
        size_t supplied = 0;
        const int error = g_target->control_in(request, value, index,
                                               static_cast<uint8_t *>(buffer), length, &supplied);
        cause = error != 0 ? us_cause_of_errno(uint32_t(error))
                : supplied != length ? US_CAUSE_MALFORMED : US_CAUSE_NONE;
        status = cause == US_CAUSE_NONE ? 0 : 1;
        if (recording)
            us_record_read(k_device_name, request, length, static_cast<const uint8_t *>(buffer),
                           error ? 0 : supplied, uint32_t(error), cause, began);
    }
    if (ctx)
        ctx->cause = cause;
    g_counters.failed_reads += status;
    return status;
}
