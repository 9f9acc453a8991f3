// Any sequence of device replies: every command and the firmware transfer
// must treat them as untrusted, writing nothing past their destinations.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "testchannel.h"
#include "usctl.h"
#include "ustrace.h"
#include "virtualclock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static VirtualClock clock;   // polls and pauses cost nothing
    // The trace is of no use here, and formatting it would cost more than
    // the commands themselves.
    static const us_trace_fn quiet = us_set_trace(&us_trace_discard);
    (void)quiet;
    ScriptedTarget device;
    // 64-byte replies from the input; afterwards the device is gone, so that
    // every command meets the end of its replies at once rather than polling
    // out its whole time-out on silence.
    for (size_t at = 0; at < size; at += 64) {
        const size_t n = size - at < 64 ? size - at : 64;
        device.replies.emplace_back(data + at, data + at + n);
        device.replies.back().resize(64, 0);
    }
    device.gone_when_done = true;
    testchannel::Attached attached(device);
    usctl_device rec{};
    usctl_handle dev = nullptr;
    usctl_init(&rec);
    if (usctl_open(&rec, &dev) != 0)
        return 0;

    uint8_t name[8];
    uint8_t length = 0;
    usctl_get_product(&dev, name, sizeof name, &length);
    if (length > sizeof name)
        __builtin_trap();
    uint16_t version = 0;
    usctl_get_version(&dev, &version);
    uint8_t text[5];
    length = 0;
    usctl_get_debug(&dev, text, sizeof text, &length);
    if (length > sizeof text)
        __builtin_trap();
    uint8_t param = 0;
    usctl_get_param(&dev, 1, 2, 197, &param);
    uint32_t sum = 0;
    usctl_get_checksum(&dev, 100, &sum);
    const std::vector<uint8_t> image(300, 0x5A);
    std::atomic<uint32_t> progress{0};
    usctl_fwup(&dev, image.data(), uint32_t(image.size()), &progress);
    if (progress > image.size())
        __builtin_trap();
    return 0;
}
