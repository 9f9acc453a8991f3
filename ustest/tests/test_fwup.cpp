#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "channelfixture.h"
#include "mkimage.h"
#include "prgdecode.h"
#include "usctl.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

Bytes pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + i / 251);
    return b;
}

struct Block {
    int tag;
    int length;
    bool operator==(const Block &o) const { return tag == o.tag && length == o.length; }
};

std::ostream &operator<<(std::ostream &os, const Block &b)
{
    return os << b.tag << ":" << b.length;
}

// Counts the progress values that the channel sees change, transfer by
// transfer, as the window's timer would.
class ProgressSpy : public ChannelTarget {
public:
    ProgressSpy(ChannelTarget &inner, const std::atomic<uint32_t> &progress)
        : inner_(inner), progress_(progress) {}
    std::vector<uint32_t> seen;

    int control_out(uint8_t r, uint16_t v, uint16_t i, const uint8_t *d, size_t n) override
    {
        note();
        return inner_.control_out(r, v, i, d, n);
    }
    int control_in(uint8_t r, uint16_t v, uint16_t i, uint8_t *o, size_t n, size_t *s) override
    {
        note();
        return inner_.control_in(r, v, i, o, n, s);
    }

private:
    void note()
    {
        const uint32_t p = progress_.load();
        if (seen.empty() || seen.back() != p)
            seen.push_back(p);
    }
    ChannelTarget &inner_;
    const std::atomic<uint32_t> &progress_;
};

class FwupTest : public ChannelFixture {
protected:
    std::atomic<uint32_t> progress{0};

    // Data messages the device received, as tag and length.
    std::vector<Block> blocks() const
    {
        std::vector<Block> out;
        for (const Bytes &m : messages())
            if (m.size() >= 3 && (m[0] == 37 || m[0] == 38))
                out.push_back({m[0], m[2]});
        return out;
    }
    int status_requests() const
    {
        int n = 0;
        for (const Bytes &m : messages())
            n += m == Bytes{34, 1, 0, 0};
        return n;
    }
    int run(const Bytes &image, std::string *output)
    {
        CaptureStdout();
        const int status = usctl_fwup(&handle, image.data(), uint32_t(image.size()), &progress);
        *output = GetCapturedStdout();
        return status;
    }
};

TEST_F(FwupTest, BurstFollowsTheRoomTheDeviceGrants)
{
    cfg.burst_room = 200;
    device.reset(new qel::Device(cfg));
    adapter.reset(new ChannelAdapter<qel::Device>(*device));
    ProgressSpy spy(*adapter, progress);
    connect(spy);
    const Bytes image = pattern(1000);
    std::string output;

    ASSERT_EQ(run(image, &output), 0);
    EXPECT_EQ(output, "pos = 0/1000\npos = 200/1000\npos = 400/1000\npos = 600/1000\n"
                      "pos = 800/1000\npos = 1000/1000\nFWUP OK\n");
    const std::vector<Block> all = blocks();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(std::vector<Block>(all.begin(), all.begin() + 4), (std::vector<Block>{{37, 61}, {37, 61}, {37, 61}, {38, 17}}));
    ASSERT_GE(spy.seen.size(), 5u);
    EXPECT_EQ(std::vector<uint32_t>(spy.seen.begin(), spy.seen.begin() + 5),
              (std::vector<uint32_t>{0, 61, 122, 183, 200}));
    EXPECT_EQ(spy.seen.back(), 983u) << "the block that completes the image is not counted";
    EXPECT_EQ(progress.load(), 1000u);
    EXPECT_EQ(device->installed(), image);
    // Full blocks fill the message and carry no end item; the next status
    // request follows each burst at once.
    const std::vector<Bytes> m = messages();
    EXPECT_EQ(m[2].size(), 64u);
    EXPECT_EQ(Bytes(m[2].begin() + 3, m[2].end()), Bytes(image.begin(), image.begin() + 61));
    EXPECT_EQ(m[5].size(), 22u);
    EXPECT_EQ(Bytes(m[5].end() - 2, m[5].end()), (Bytes{0, 0}));
    EXPECT_EQ(VirtualClock::sleeps(), 0u);
}

struct ShapeCase {
    uint32_t size;
    uint32_t room;
    std::vector<Block> blocks;
};

class BurstShapes : public FwupTest, public testing::WithParamInterface<ShapeCase> {};

TEST_P(BurstShapes, BlocksOfAtMost61EndingEachBurstWith38)
{
    cfg.burst_room = GetParam().room;
    use_device();
    std::string output;
    ASSERT_EQ(run(pattern(GetParam().size), &output), 0);
    EXPECT_EQ(blocks(), GetParam().blocks);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BurstShapes,
    testing::Values(ShapeCase{61, 1024, {{38, 61}}},
                    ShapeCase{62, 1024, {{37, 61}, {38, 1}}},
                    ShapeCase{122, 61, {{38, 61}, {38, 61}}},
                    ShapeCase{130, 100, {{37, 61}, {38, 39}, {38, 30}}},
                    ShapeCase{40, 1, std::vector<Block>(40, Block{38, 1})}));

TEST_F(FwupTest, SizeZeroSendsOnlyStartThenConfirms)
{
    use_device();
    progress = 77;
    std::string output;
    EXPECT_EQ(run(Bytes(), &output), 0);
    EXPECT_EQ(output, "pos = 0/0\nFWUP OK\n");
    EXPECT_EQ(messages(), (std::vector<Bytes>{{33, 4, 0, 0, 0, 0, 0, 0}, {34, 1, 0, 0}}));
    EXPECT_EQ(progress.load(), 0u);
}

TEST_F(FwupTest, NoRoomForeverTimesOutAfter2001StatusRequests)
{
    use_device("no-room");
    progress = 12345;
    std::string output;
    EXPECT_EQ(run(pattern(5000), &output), 1);
    EXPECT_EQ(output, repeat("pos = 0/5000\n", 2001) + lines({260}) + "timeout line:250\n");
    EXPECT_EQ(status_requests(), 2001);
    EXPECT_EQ(VirtualClock::sleeps_of(5), 2000u);
    EXPECT_EQ(progress.load(), 12345u) << "failure leaves the counter alone";
}

TEST_F(FwupTest, LaggingOffsetIsAwaitedNotFollowed)
{
    use_device("lag=10");
    std::string output;
    EXPECT_EQ(run(pattern(5000), &output), 1);
    EXPECT_EQ(output, "pos = 0/5000\n" +
                          repeat("pos = 1024/5000\noffset = 1014, pos = 1024\n", 2001) +
                          lines({260}) + "timeout line:252\n");
    EXPECT_EQ(blocks().size(), 17u) << "nothing resent";
    EXPECT_EQ(progress.load(), 1024u);
}

// Faults of the device as the transfer meets them.
struct FaultCase {
    const char *name;
    const char *fault;
    int status;
    std::string tail;   // the output ends with this
};

class DeviceFaults : public FwupTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(DeviceFaults, EndTheTransferAtTheRightStep)
{
    cfg.burst_room = 1024;
    use_device(GetParam().fault);
    std::string output;
    EXPECT_EQ(run(pattern(2000), &output), GetParam().status);
    const std::string &tail = GetParam().tail;
    ASSERT_GE(output.size(), tail.size());
    EXPECT_EQ(output.substr(output.size() - tail.size()), tail);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeviceFaults,
    testing::Values(
        FaultCase{"StartNeverAccepted", "fail-writes=10", 1, repeat(lines({53}), 10) + lines({60, 175})},
        FaultCase{"FirstWritesRetried", "fail-writes=9", 0, "pos = 2000/2000\nFWUP OK\n"},
        FaultCase{"AlwaysBusy", "busy", 1, lines({171})},
        FaultCase{"ShortReads", "short-read", 1, repeat(lines({84, 109}), 3) + lines({171})},
        FaultCase{"ShortReadsAtFirst", "short-read=999", 0, "FWUP OK\n"},
        FaultCase{"NoRoomItem", "never=35", 1, "pos = 0/2000\n" + lines({244})},
        FaultCase{"NoOffsetItem", "never=36", 1, "pos = 0/2000\n" + lines({244})},
        FaultCase{"NoReadyFlag", "never=161", 0, "FWUP OK\n"},
        FaultCase{"GoneMidBurst", "vanish=500", 1, lines({84, 109, 297})},
        FaultCase{"GoneAfterBurst", "vanish=1024", 1, lines({84, 109, 196})}),
    [](const testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

TEST_F(FwupTest, LatencyIsSpentOnEveryTransfer)
{
    use_device("latency=2000");
    std::string output;
    ASSERT_EQ(run(pattern(100), &output), 0);
    EXPECT_EQ(VirtualClock::now_ms(), 2u * (count().reads + count().writes));
}

TEST_F(FwupTest, StatusWaitsForBothRoomAndOffset)
{
    const struct { int room_only_replies; int status; std::string tail; } cases[] = {
        {3, 0, "FWUP OK\n"},
        {1000000, 1, "pos = 0/10\n" + lines({244})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.room_only_replies);
        int reads_since_status = 0;
        script.sent.clear();
        script.respond = [&](const ScriptedTarget &t) -> Bytes {
            const bool after_status = !t.sent.empty() && t.sent.back()[0] == 34;
            const bool done = t.sent.size() > 2;   // start, status, then data
            if (!after_status)
                return {161, 2, 1};
            if (done)
                return {35, 4, 0, 0, 0, 0, 36, 4, 10, 0, 0, 0};
            if (++reads_since_status <= c.room_only_replies)
                return {35, 4, 10, 0, 0, 0};
            return {35, 4, 10, 0, 0, 0, 36, 4, 0, 0, 0, 0};
        };
        use_script();
        VirtualClock::reset();
        std::string output;
        EXPECT_EQ(run(pattern(10), &output), c.status);
        EXPECT_EQ(output.substr(output.size() - c.tail.size()), c.tail);
        if (c.status == 0) {
            EXPECT_EQ(VirtualClock::sleeps_of(5), 3u);
        } else {
            EXPECT_EQ(count().reads, 10000u + 2) << "ready polls for start and status";
        }
    }
}

// Each burst starts the count of answers without progress afresh: two
// stretches of 1,500 refusals, each ended by a burst, do not add up.
TEST_F(FwupTest, RetryCountStartsAfreshAfterEachBurst)
{
    script.respond = [](const ScriptedTarget &t) -> Bytes {
        if (t.sent.empty() || t.sent.back()[0] != 34)
            return {161, 2, 1};
        uint8_t received = 0;
        int refusals = 0;
        for (const Bytes &m : t.sent) {
            if (m[0] == 38) {
                received = uint8_t(received + m[2]);
                refusals = 0;
            } else if (m[0] == 34) {
                ++refusals;
            }
        }
        const uint8_t room = received < 122 && refusals > 1500 ? 61 : 0;
        return {35, 2, room, 36, 2, received};
    };
    use_script();
    std::string output;
    EXPECT_EQ(run(pattern(122), &output), 0);
    EXPECT_EQ(VirtualClock::sleeps_of(5), 3000u);
}

TEST_F(FwupTest, DebugTextInStatusIsPrintedAndStatusStillUsed)
{
    script.respond = [](const ScriptedTarget &t) -> Bytes {
        if (t.sent.size() == 2)   // start, status
            return {18, 5, 3, 'x', 0, 'y', 35, 4, 10, 0, 0, 0, 36, 4, 0, 0, 0, 0};
        return {35, 4, 0, 0, 0, 0, 36, 4, 10, 0, 0, 0};
    };
    use_script();
    const Bytes image = pattern(10);
    std::string output;
    EXPECT_EQ(run(image, &output), 0);
    EXPECT_EQ(output, std::string("pos = 0/10\n\n\n--debug--\nx\0y\n---------\npos = 10/10\nFWUP OK\n",
                                  57));
    ASSERT_EQ(script.sent.size(), 4u);
    Bytes data = {38, 5, 10};
    data.insert(data.end(), image.begin(), image.end());
    data.insert(data.end(), {0, 0});
    EXPECT_EQ(script.sent[2], data);
}

// The completion phase: only room 0 at offset = size confirms, with room
// and offset taken as 255 and 0 when a reply leaves them out.
TEST_F(FwupTest, CompletionNeedsRoomZeroAtTheEnd)
{
    const struct { Bytes reply; int status; } cases[] = {
        {{35, 4, 0, 0, 0, 0, 36, 4, 0, 0, 0, 0}, 0},
        {{35, 2, 0}, 0},
        {{36, 4, 0, 0, 0, 0}, 1},
        {{35, 4, 0, 0, 0, 0, 36, 4, 5, 0, 0, 0}, 1},
        {{0, 0, 35, 2, 0}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.reply));
        script.idle = c.reply;
        script.sent.clear();
        use_script();
        VirtualClock::reset();
        std::string output;
        EXPECT_EQ(run(Bytes(), &output), c.status);
        if (c.status == 0) {
            EXPECT_EQ(output, "pos = 0/0\nFWUP OK\n");
            EXPECT_EQ(VirtualClock::sleeps(), 0u);
        } else {
            EXPECT_EQ(output, "pos = 0/0\n" + lines({372}));
            EXPECT_EQ(script.sent.size(), 21u) << "start and 20 status requests";
            EXPECT_EQ(count().reads, 20u * 11 + 1);
            EXPECT_EQ(VirtualClock::sleeps_of(100), 200u);
            EXPECT_EQ(VirtualClock::sleeps_of(1000), 20u);
        }
    }
}

// A whole image of the embedded image's size, sent to a device that programs
// its flash after each burst, then read back through the device's checksum.
TEST_F(FwupTest, WholeImageIsInstalledAndChecksumMatches)
{
    ImageRecipe old_recipe;
    old_recipe.version = 101;
    ASSERT_TRUE(mkimage_synthetic_body(100000, 12345678, &old_recipe.body));
    ImageRecipe recipe;
    ASSERT_TRUE(mkimage_synthetic_body(268320 - 36, 0x0140C7B8, &recipe.body));
    Bytes old_image, image;
    std::string error;
    ASSERT_TRUE(mkimage_build(old_recipe, &old_image, &error)) << error;
    ASSERT_TRUE(mkimage_build(recipe, &image, &error)) << error;
    ASSERT_EQ(image.size(), 268320u);
    prg_header header;
    prgdecode_set_header(&header, image.data());

    cfg.installed = old_image;
    cfg.busy_us = 3000;
    use_device();
    uint32_t sum = 0;
    ASSERT_EQ(usctl_get_checksum(&handle, uint32_t(prgdecode_get_check_size(&header)), &sum), 0);
    EXPECT_NE(sum, prgdecode_get_checksum(&header));

    std::string output;
    ASSERT_EQ(run(image, &output), 0);
    EXPECT_EQ(progress.load(), image.size());
    EXPECT_EQ(device->installed(), image);
    EXPECT_EQ(device->version(), 102);
    ASSERT_EQ(usctl_get_checksum(&handle, uint32_t(prgdecode_get_check_size(&header)), &sum), 0);
    EXPECT_EQ(sum, prgdecode_get_checksum(&header));
    // One ready wait of 5 ms after each of the 263 bursts while the device
    // programs its flash.
    EXPECT_EQ(VirtualClock::sleeps_of(5), 263u);
    EXPECT_EQ(VirtualClock::sleeps(), 263u);
}

TEST_F(FwupTest, NoImageBytesIsRefusedBeforeSending)
{
    use_device();
    CaptureStdout();
    EXPECT_EQ(usctl_fwup(&handle, nullptr, 10, nullptr), 1);
    EXPECT_EQ(GetCapturedStdout(), lines({163}));
    EXPECT_TRUE(device->log().empty());
}

} // namespace
