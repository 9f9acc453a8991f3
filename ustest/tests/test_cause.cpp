// The cause of a failure reaches the caller of the device commands, whichever
// step detected it: the channel's error, or the protocol's own finding. And
// a device that has gone is not asked again and again.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "channelfixture.h"
#include "usctl.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A channel whose every transfer fails with one error number.
class FailingTarget : public ChannelTarget {
public:
    explicit FailingTarget(int error) : error_(error) {}
    int control_out(uint8_t, uint16_t, uint16_t, const uint8_t *, size_t) override
    {
        return error_;
    }
    int control_in(uint8_t, uint16_t, uint16_t, uint8_t *, size_t, size_t *supplied) override
    {
        *supplied = 0;
        return error_;
    }

private:
    int error_;
};

// Notes when its device first refuses as gone: the virtual time and the
// number of transfers until then.
class GoneWatch : public ChannelTarget {
public:
    explicit GoneWatch(ChannelTarget &inner) : inner_(inner) {}
    int64_t gone_at_ms = -1;
    unsigned transfers = 0;
    unsigned transfers_when_gone = 0;

    int control_out(uint8_t r, uint16_t v, uint16_t i, const uint8_t *d, size_t n) override
    {
        return note(inner_.control_out(r, v, i, d, n));
    }
    int control_in(uint8_t r, uint16_t v, uint16_t i, uint8_t *o, size_t n, size_t *s) override
    {
        return note(inner_.control_in(r, v, i, o, n, s));
    }

private:
    int note(int error)
    {
        ++transfers;
        if (error == ENODEV && gone_at_ms < 0) {
            gone_at_ms = int64_t(VirtualClock::now_ms());
            transfers_when_gone = transfers;
        }
        return error;
    }
    ChannelTarget &inner_;
};

class CauseTest : public ChannelFixture {
protected:
    int version_status(uint16_t *version)
    {
        CaptureStdout();
        const int status = usctl_get_version(&handle, version);
        GetCapturedStdout();
        return status;
    }
};

TEST(CauseNames, EveryCauseHasItsOwnName)
{
    std::set<std::string> names;
    for (int c = 0; c < US_CAUSE_COUNT; ++c) {
        const std::string name = us_cause_name(c);
        EXPECT_NE(name, "unknown") << c;
        EXPECT_TRUE(names.insert(name).second) << name;
    }
    EXPECT_STREQ(us_cause_name(US_CAUSE_NONE), "none");
    EXPECT_STREQ(us_cause_name(US_CAUSE_GONE), "gone");
    EXPECT_STREQ(us_cause_name(-1), "unknown");
    EXPECT_STREQ(us_cause_name(US_CAUSE_COUNT), "unknown");
}

// The channel's error numbers, as a driver reports them, and how often the
// version question asks before it gives up: at once for causes that asking
// again cannot change, the whole ready wait (1,000 polls) for the others.
struct ChannelCase {
    const char *name;
    int error;
    us_cause cause;
    unsigned reads;
};

class ChannelCauses : public CauseTest, public testing::WithParamInterface<ChannelCase> {};

TEST_P(ChannelCauses, ReachTheCallerAndEndTheWaitOnlyWhenFinal)
{
    FailingTarget target(GetParam().error);
    connect(target);
    uint16_t version = 0;
    EXPECT_EQ(version_status(&version), 1);
    EXPECT_EQ(usctl_last_cause(&handle), GetParam().cause);
    EXPECT_EQ(count().reads, GetParam().reads);
    EXPECT_EQ(count().writes, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ChannelCauses,
    testing::Values(ChannelCase{"DeviceLeft", ENODEV, US_CAUSE_GONE, 1},
                    ChannelCase{"ChannelRemoved", ENOENT, US_CAUSE_GONE, 1},
                    ChannelCase{"NobodyServes", ECONNREFUSED, US_CAUSE_GONE, 1},
                    ChannelCase{"AccessTakenAway", EACCES, US_CAUSE_NO_ACCESS, 1},
                    ChannelCase{"NoAnswerInTime", ETIMEDOUT, US_CAUSE_TIMEOUT, 1000},
                    ChannelCase{"Stalled", EIO, US_CAUSE_REFUSED, 1000},
                    ChannelCase{"BrokenReply", EPROTO, US_CAUSE_MALFORMED, 1000},
                    ChannelCase{"DriverBusy", EBUSY, US_CAUSE_BUSY, 1000}),
    [](const testing::TestParamInfo<ChannelCase> &info) { return std::string(info.param.name); });

// Causes the protocol finds in what a working channel carried.
class ProtocolCauses;
struct ProtocolCase {
    const char *name;
    std::function<void(ProtocolCauses &)> arrange;   // picks the device or the replies
    std::function<int(usctl_handle *)> command;
    us_cause cause;
};

class ProtocolCauses : public CauseTest, public testing::WithParamInterface<ProtocolCase> {
public:
    void device_with(const char *fault) { use_device(fault); }
    ScriptedTarget &replies() { return script; }
    void use_replies() { use_script(); }
};

int ask_version(usctl_handle *dev)
{
    uint16_t v = 0;
    return usctl_get_version(dev, &v);
}

int send_image(usctl_handle *dev)
{
    static const uint8_t image[3000] = {};
    std::atomic<uint32_t> progress{0};
    return usctl_fwup(dev, image, sizeof image, &progress);
}

TEST_P(ProtocolCauses, AreNamedWhereTheyAreFound)
{
    GetParam().arrange(*this);
    CaptureStdout();
    const int status = GetParam().command(&handle);
    GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(usctl_last_cause(&handle), GetParam().cause);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ProtocolCauses,
    testing::Values(
        ProtocolCase{"AlwaysBusy", [](ProtocolCauses &t) { t.device_with("busy"); },
                     ask_version, US_CAUSE_BUSY},
        ProtocolCase{"ShortReplies", [](ProtocolCauses &t) { t.device_with("short-read"); },
                     ask_version, US_CAUSE_MALFORMED},
        ProtocolCase{"VersionNeverSent", [](ProtocolCauses &t) { t.device_with("never=50"); },
                     ask_version, US_CAUSE_REFUSED},
        ProtocolCase{"VersionAsOneByte",
                     [](ProtocolCauses &t) {
                         // The version as a one-byte integer: no type it may come as.
                         t.replies().idle = {50, USMSG_TYPE_U8, 7, 0, 0};
                         t.use_replies();
                     },
                     ask_version, US_CAUSE_MALFORMED},
        ProtocolCase{"NoRoomEver", [](ProtocolCauses &t) { t.device_with("no-room"); },
                     send_image, US_CAUSE_BUSY},
        ProtocolCase{"NoOffsetItem", [](ProtocolCauses &t) { t.device_with("never=36"); },
                     send_image, US_CAUSE_REFUSED},
        ProtocolCase{"GoneMidTransfer", [](ProtocolCauses &t) { t.device_with("vanish=1500"); },
                     send_image, US_CAUSE_GONE}),
    [](const testing::TestParamInfo<ProtocolCase> &info) { return std::string(info.param.name); });

TEST_F(CauseTest, NoOpenDeviceIsNoDevice)
{
    usctl_handle none = nullptr;
    CaptureStdout();
    EXPECT_EQ(ask_version(&none), 1);
    GetCapturedStdout();
    EXPECT_EQ(usctl_last_cause(&none), US_CAUSE_NO_DEVICE);
    EXPECT_EQ(usctl_last_cause(nullptr), US_CAUSE_NO_DEVICE);
}

TEST_F(CauseTest, SuccessAfterAFailureLeavesNoCause)
{
    use_device("fail-writes=3");
    uint16_t version = 0;
    EXPECT_EQ(version_status(&version), 0);
    EXPECT_EQ(usctl_last_cause(&handle), US_CAUSE_NONE);
}

// A device unplugged in the middle of an image: the transfer ends on the
// first refusal, without polling a device that is not there.
TEST_F(CauseTest, UnplugMidTransferEndsAtOnce)
{
    cfg.vanish_after = 60000;
    device.reset(new qel::Device(cfg));
    adapter.reset(new ChannelAdapter<qel::Device>(*device));
    GoneWatch watch(*adapter);
    connect(watch);

    std::vector<uint8_t> image(100000, 0xA5);
    std::atomic<uint32_t> progress{0};
    CaptureStdout();
    const int status = usctl_fwup(&handle, image.data(), uint32_t(image.size()), &progress);
    const std::string output = GetCapturedStdout();

    EXPECT_EQ(status, 1);
    EXPECT_EQ(usctl_last_cause(&handle), US_CAUSE_GONE);
    ASSERT_GE(watch.gone_at_ms, 0);
    EXPECT_LE(int64_t(VirtualClock::now_ms()) - watch.gone_at_ms, 500);
    EXPECT_EQ(watch.transfers, watch.transfers_when_gone);
    // The failure's own lines, and no repetitions of them.
    size_t error_lines = 0;
    for (size_t at = output.find(":ERROR"); at != std::string::npos; at = output.find(":ERROR", at + 1))
        ++error_lines;
    EXPECT_LE(error_lines, 4u) << output;
}

} // namespace
