#include "devicetarget.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

const uint8_t kTagChecksumRequest = 39;
const uint8_t kTagChecksum = 40;
const uint8_t kTagReady = 161;
const uint8_t kTypeU8 = 2;
const uint8_t kTypeU32 = 4;

} // namespace

void DeviceTarget::hold_at(uint8_t tag, int occurrence)
{
    std::lock_guard<std::mutex> lock(mutex_);
    hold_tag_ = tag;
    hold_countdown_ = occurrence;
    released_ = false;
}

void DeviceTarget::pace(uint8_t tag, unsigned microseconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pace_tag_ = tag;
    pace_us_ = microseconds;
}

void DeviceTarget::release()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
    }
    released_cv_.notify_all();
}

int DeviceTarget::control_out(uint8_t request, uint16_t value, uint16_t index,
                              const uint8_t *data, size_t length)
{
    const uint8_t tag = data && length > 0 ? data[0] : 0;
    unsigned delay_us = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (tag == pace_tag_)
            delay_us = pace_us_;
        if (hold_countdown_ > 0 && tag == hold_tag_ && --hold_countdown_ == 0) {
            held_ = true;
            released_cv_.wait(lock, [this] { return released_; });
            held_ = false;
        }
    }
    if (delay_us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    checksum_pending_ = tag == kTagChecksumRequest && !checksums.empty();
    return device_.control_out(request, value, index, data, length);
}

int DeviceTarget::control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out,
                             size_t length, size_t *supplied)
{
    if (!checksum_pending_)
        return device_.control_in(request, value, index, out, length, supplied);
    checksum_pending_ = false;
    const std::optional<uint32_t> answer = checksums.front();
    checksums.pop_front();
    *supplied = 0;
    if (!answer)
        return EIO;
    // Ready, the checksum, then the zero fill that ends the message.
    uint8_t reply[64] = {kTagReady, kTypeU8, 1, kTagChecksum, kTypeU32};
    for (int i = 0; i < 4; ++i)
        reply[5 + i] = uint8_t(*answer >> (8 * i));
    const size_t n = length < sizeof reply ? length : sizeof reply;
    std::memcpy(out, reply, n);
    *supplied = n;
    return 0;
}

int messages_with_tag(const qel::Device &device, uint8_t tag)
{
    int n = 0;
    for (const qel::LogEntry &e : device.log())
        if (e.out && !e.data.empty() && e.data[0] == tag)
            ++n;
    return n;
}

std::vector<uint32_t> checksum_request_lengths(const qel::Device &device)
{
    std::vector<uint32_t> lengths;
    for (const qel::LogEntry &e : device.log()) {
        if (!e.out || e.data.size() < 6 || e.data[0] != kTagChecksumRequest)
            continue;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(e.data[2 + i]) << (8 * i);
        lengths.push_back(v);
    }
    return lengths;
}
