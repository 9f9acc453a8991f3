// The emulated device behind the test channel, with two things that no
// believable device does on request: checksum answers played from a queue,
// and a hold that stops whoever sends a chosen message (the update thread)
// until the test lets it go.
#ifndef APP_TESTS_DEVICETARGET_H
#define APP_TESTS_DEVICETARGET_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "qeldevice.h"
#include "testchannel.h"

class DeviceTarget : public ChannelTarget {
public:
    explicit DeviceTarget(qel::Device &device) : device_(device) {}
    ~DeviceTarget() override { release(); }

    // Answers to the next checksum requests, in order, instead of the
    // device's; nullopt makes that reply's read fail. Fill before the update
    // thread starts.
    std::deque<std::optional<uint32_t>> checksums;

    // Holds the sender of the occurrence-th message (from 1) that starts with
    // tag, before the device sees it. Set before the update thread starts.
    void hold_at(uint8_t tag, int occurrence);
    bool held() const { return held_; }
    void release();

    // Every message that starts with tag takes this long in real time, so
    // that the window's timer runs while the transfer writes its progress.
    void pace(uint8_t tag, unsigned microseconds);

    int control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                    size_t length) override;
    int control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out, size_t length,
                   size_t *supplied) override;
    uint32_t latency_us() const override { return device_.latency_us(); }

private:
    qel::Device &device_;
    bool checksum_pending_ = false;
    uint8_t hold_tag_ = 0;
    int hold_countdown_ = 0;
    uint8_t pace_tag_ = 0;
    unsigned pace_us_ = 0;
    std::mutex mutex_;
    std::condition_variable released_cv_;
    bool released_ = false;
    std::atomic<bool> held_{false};
};

// The host puts one item first in every message; these look at that tag.
int messages_with_tag(const qel::Device &device, uint8_t tag);
// The lengths that the checksum requests asked for, in order.
std::vector<uint32_t> checksum_request_lengths(const qel::Device &device);

#endif
