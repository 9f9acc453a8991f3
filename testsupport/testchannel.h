// The test channel: usbdevs_init/exit/open_index/write/read served in-process.
// Linked instead of the real channel library, it hands every vendor transfer
// to one attached target (the emulated device through ChannelAdapter, or a
// ScriptedTarget for replies that no believable device sends) and keeps the
// real contract: a write fails when the target refuses it, a read fails when
// fewer bytes than asked come back, and device number 0 is the only one.
#ifndef USTEST_TESTS_TESTCHANNEL_H
#define USTEST_TESTS_TESTCHANNEL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

struct ChannelTarget {
    virtual ~ChannelTarget() = default;
    // 0 on success, else an errno value.
    virtual int control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                            size_t length) = 0;
    // *supplied receives the bytes written to out (at most length).
    virtual int control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out,
                           size_t length, size_t *supplied) = 0;
    // Time each transfer takes; the channel spends it through us_sleep_ms.
    virtual uint32_t latency_us() const { return 0; }
};

// Serves any object with the same two transfer calls and latency_us(), such
// as qel::Device, without the channel depending on it.
template <class T>
class ChannelAdapter : public ChannelTarget {
public:
    explicit ChannelAdapter(T &target) : target_(target) {}
    int control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                    size_t length) override
    {
        return target_.control_out(request, value, index, data, length);
    }
    int control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out, size_t length,
                   size_t *supplied) override
    {
        return target_.control_in(request, value, index, out, length, supplied);
    }
    uint32_t latency_us() const override { return target_.latency_us(); }

private:
    T &target_;
};

// A target that plays back replies: each read takes the next queued reply;
// once the queue is empty, respond (when set) or else the idle reply answers,
// unless gone_when_done says the device leaves with its last reply.
// Every accepted write is recorded; refuse_writes makes the next writes stall.
class ScriptedTarget : public ChannelTarget {
public:
    std::vector<uint8_t> idle;                 // zero-padded to the length asked
    std::deque<std::vector<uint8_t>> replies;  // served once each, in order
    std::function<std::vector<uint8_t>(const ScriptedTarget &)> respond;
    int refuse_writes = 0;
    size_t supply_limit = SIZE_MAX;            // most bytes a read supplies
    bool gone_when_done = false;               // reads after the queue fail with ENODEV

    std::vector<std::vector<uint8_t>> sent;    // payloads of accepted writes
    size_t reads = 0;

    void queue(std::initializer_list<uint8_t> bytes) { replies.emplace_back(bytes); }

    int control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                    size_t length) override;
    int control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out, size_t length,
                   size_t *supplied) override;
};

namespace testchannel {

// The device that usbdevs_open_index finds and every transfer reaches;
// nullptr: no device is connected. The target is not owned.
void attach(ChannelTarget *target);
ChannelTarget *attached();

// The interface path the one device has; empty restores the default, which
// names no registry directory (so no update lock is taken for it). False
// when it does not fit an entry.
bool set_path(const std::string &path);

struct Counters {
    unsigned open_calls = 0;    // usbdevs_open_index calls, any number
    unsigned writes = 0;        // write requests (each one channel opening)
    unsigned reads = 0;         // read requests
    unsigned failed_writes = 0;
    unsigned failed_reads = 0;
};
const Counters &counters();
void reset_counters();

// Attaches a target for the lifetime of a scope and detaches it after, with
// fresh counters.
class Attached {
public:
    explicit Attached(ChannelTarget &target)
    {
        attach(&target);
        reset_counters();
    }
    ~Attached() { attach(nullptr); }
    Attached(const Attached &) = delete;
    Attached &operator=(const Attached &) = delete;
};

} // namespace testchannel

#endif
