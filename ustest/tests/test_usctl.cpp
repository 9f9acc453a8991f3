#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "channelfixture.h"
#include "usctl.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using UsctlTest = ChannelFixture;

TEST_F(UsctlTest, OpenFindsDeviceNumberZeroOnly)
{
    use_device();
    EXPECT_EQ(handle, &rec.ctx);
    EXPECT_EQ(rec.next_number, 1);

    attached.reset();   // unplugged
    usctl_handle none = nullptr;
    testchannel::reset_counters();
    EXPECT_EQ(usctl_exit(&rec), 0);
    EXPECT_EQ(rec.next_number, 0);
    EXPECT_EQ(usctl_open(&rec, &none), 1);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(rec.next_number, 10);
    EXPECT_EQ(count().open_calls, 10u);
}

TEST_F(UsctlTest, NoHandleFailsAtOnce)
{
    use_device();
    handle = nullptr;
    uint16_t version = 0;
    CaptureStdout();
    EXPECT_EQ(usctl_get_version(&handle, &version), 1);
    GetCapturedStdout();
    EXPECT_EQ(count().reads + count().writes, 0u);
    EXPECT_EQ(VirtualClock::sleeps(), 0u);
}

TEST_F(UsctlTest, IdentityAndChecksumFromDevice)
{
    cfg.product = "QelMini";
    cfg.version = 205;
    cfg.build = 7;
    use_device();
    uint16_t version = 0, build = 0;
    char product[64];
    std::memset(product, '#', sizeof product);
    uint8_t length = 0;
    uint32_t sum = 1;

    CaptureStdout();
    EXPECT_EQ(usctl_get_version(&handle, &version), 0);
    EXPECT_EQ(usctl_get_build(&handle, &build), 0);
    EXPECT_EQ(usctl_get_product(&handle, product, 64, &length), 0);
    EXPECT_EQ(usctl_get_checksum(&handle, 0x01020304, &sum), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(version, 205);
    EXPECT_EQ(build, 7);
    EXPECT_EQ(std::string(product, length), "QelMini");
    EXPECT_EQ(product[length], '#');
    EXPECT_EQ(sum, 0u) << "nothing installed";

    const Bytes info = {49, 1, 0, 0};
    const Bytes checksum = {39, 4, 4, 3, 2, 1, 0, 0};
    EXPECT_EQ(messages(), (std::vector<Bytes>{info, info, info, checksum}));
    // Each command: one ready poll, one message, one reply.
    EXPECT_EQ(count().reads, 8u);
    for (const qel::LogEntry &e : device->log()) {
        if (!e.out) {
            EXPECT_EQ(e.data.size(), 64u);
        }
    }
}

TEST_F(UsctlTest, ProductNameCutToMaximum)
{
    cfg.product = "Qel-Twenty-Bytes-Nam";
    use_device();
    char product[16];
    std::memset(product, '#', sizeof product);
    uint8_t length = 0;
    EXPECT_EQ(usctl_get_product(&handle, product, 8, &length), 0);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(std::string(product, sizeof product), "Qel-Twen########");
}

// The ready poll before every message.
struct ReadyCase {
    const char *name;
    std::vector<Bytes> queued;
    Bytes idle;
    size_t supply_limit;
    int status;
    unsigned reads;
    std::string output;
};

class WaitReady : public UsctlTest, public testing::WithParamInterface<ReadyCase> {};

TEST_P(WaitReady, PollsUntilNotBusy)
{
    const ReadyCase &c = GetParam();
    script.replies.assign(c.queued.begin(), c.queued.end());
    script.idle = c.idle;
    script.supply_limit = c.supply_limit;
    use_script();
    CaptureStdout();
    EXPECT_EQ(usctl_wait_ready(&handle), c.status);
    EXPECT_EQ(GetCapturedStdout(), c.output);
    EXPECT_EQ(count().reads, c.reads);
    EXPECT_EQ(VirtualClock::sleeps_of(5), c.reads - 1 + (c.status != 0));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, WaitReady,
    testing::Values(
        ReadyCase{"NoFlagIsReady", {}, {50, 3, 1, 0}, SIZE_MAX, 0, 1, ""},
        ReadyCase{"BusyThenReadyInOneReply", {}, {161, 2, 0, 161, 2, 1}, SIZE_MAX, 0, 1, ""},
        ReadyCase{"ReadyThenBusyInOneReply", {}, {161, 2, 1, 161, 2, 0}, SIZE_MAX, 0, 1, ""},
        ReadyCase{"WideFlagIsReady", {}, {161, 3, 0, 1}, SIZE_MAX, 0, 1, ""},
        ReadyCase{"BusyTwice", {{161, 2, 0}, {161, 2, 0}}, {161, 2, 1}, SIZE_MAX, 0, 3, ""},
        ReadyCase{"AlwaysBusy", {}, {161, 2, 0}, SIZE_MAX, 1, 1000, ""},
        ReadyCase{"ShortReads", {}, {161, 2, 1}, 63, 1, 1000, repeat(lines({84, 109}), 1000)}),
    [](const testing::TestParamInfo<ReadyCase> &info) { return std::string(info.param.name); });

// A device that stays busy fails every command in its ready poll, before
// anything is sent.
struct BusyCase {
    const char *name;
    std::function<int(usctl_handle *)> call;
    std::string output;
};

class AlwaysBusy : public UsctlTest, public testing::WithParamInterface<BusyCase> {};

TEST_P(AlwaysBusy, CommandFailsBeforeSending)
{
    use_device("busy");
    CaptureStdout();
    EXPECT_EQ(GetParam().call(&handle), 1);
    EXPECT_EQ(GetCapturedStdout(), GetParam().output);
    EXPECT_EQ(count().writes, 0u);
    EXPECT_EQ(count().reads, 1000u);
    EXPECT_EQ(VirtualClock::now_ms(), 5000u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, AlwaysBusy,
    testing::Values(
        BusyCase{"Version", [](usctl_handle *d) { return usctl_get_version(d, nullptr); }, lines({779})},
        BusyCase{"Checksum", [](usctl_handle *d) { return usctl_get_checksum(d, 1, nullptr); }, lines({410})},
        BusyCase{"Cmd19", [](usctl_handle *d) { return usctl_cmd19(d, 1); }, lines({518})},
        BusyCase{"Cmd21", [](usctl_handle *d) { return usctl_cmd21(d, 1); }, lines({727})},
        BusyCase{"Cmd23", [](usctl_handle *d) { return usctl_cmd23(d, 1); }, lines({560})},
        BusyCase{"Query24", [](usctl_handle *d) { return usctl_query24(d, nullptr); }, lines({601})},
        BusyCase{"Query20", [](usctl_handle *d) { return usctl_query20(d, nullptr); }, lines({660, 692})},
        BusyCase{"GetParam198", [](usctl_handle *d) { return usctl_get_param198(d, nullptr); },
                 lines({996, 1051})},
        BusyCase{"SetParam138", [](usctl_handle *d) { return usctl_set_param138(d, 1); },
                 lines({929, 1060})},
        BusyCase{"Transfer", [](usctl_handle *d) { return usctl_fwup(d, nullptr, 0, nullptr); },
                 lines({171})}),
    [](const testing::TestParamInfo<BusyCase> &info) { return std::string(info.param.name); });

TEST_F(UsctlTest, SendTriesTenTimes)
{
    const struct { int refused; int status; std::string output; } cases[] = {
        {2, 0, repeat(lines({53}), 2)},
        {9, 0, repeat(lines({53}), 9)},
        {10, 1, repeat(lines({53}), 10) + lines({60})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.refused);
        script.refuse_writes = c.refused;
        script.sent.clear();
        use_script();
        VirtualClock::reset();
        uint8_t buf[64] = {19, 2, 1, 0, 0};
        UsMsg msg;
        usmsg_init(&msg, buf, sizeof buf);
        msg.position = 5;
        CaptureStdout();
        EXPECT_EQ(usctl_send(&handle, &msg), c.status);
        EXPECT_EQ(GetCapturedStdout(), c.output);
        EXPECT_EQ(count().writes, unsigned(std::min(c.refused + 1, 10)));
        EXPECT_EQ(VirtualClock::sleeps_of(5), unsigned(std::min(c.refused, 10)));
        if (c.status == 0) {
            EXPECT_EQ(script.sent, (std::vector<Bytes>{{19, 2, 1, 0, 0}}));
        }
    }
}

TEST_F(UsctlTest, OverlongMessageNeverSent)
{
    use_script();
    uint8_t buf[128] = {};
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    msg.position = 65;
    CaptureStdout();
    EXPECT_EQ(usctl_send(&handle, &msg), 1);
    EXPECT_EQ(GetCapturedStdout(), lines({44}));
    EXPECT_EQ(count().writes, 0u);
}

TEST_F(UsctlTest, ReadIsCutTo64Bytes)
{
    use_device();
    uint8_t buf[100];
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    CaptureStdout();
    EXPECT_EQ(usctl_recv(&handle, &msg), 0);
    EXPECT_EQ(GetCapturedStdout(), lines({77}));
    ASSERT_EQ(device->log().size(), 1u);
    EXPECT_EQ(device->log()[0].data.size(), 64u);
}

// Information requests: what a reply holds decides what is copied, printed
// and whether polling goes on.
struct InfoCase {
    const char *name;
    std::vector<Bytes> queued;   // after the reply of the ready poll
    Bytes idle;
    int wanted;
    uint8_t max;
    int status;
    std::string dest;            // bytes copied (from a dest of '#')
    int length;                  // length reported (0xAA: none)
    std::string output;
    unsigned reads;              // the ready poll included
};

class GetInfo : public UsctlTest, public testing::WithParamInterface<InfoCase> {};

TEST_P(GetInfo, TakesTheWantedTag)
{
    const InfoCase &c = GetParam();
    script.replies.push_back({161, 2, 1});
    script.replies.insert(script.replies.end(), c.queued.begin(), c.queued.end());
    script.idle = c.idle;
    use_script();
    char dest[8];
    std::memset(dest, '#', sizeof dest);
    uint8_t length = 0xAA;
    CaptureStdout();
    EXPECT_EQ(usctl_get_info(&handle, dest, c.max, &length, c.wanted), c.status);
    EXPECT_EQ(GetCapturedStdout(), c.output);
    EXPECT_EQ(std::string(dest, sizeof dest), c.dest);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(count().reads, c.reads);
    EXPECT_EQ(script.sent, (std::vector<Bytes>{{49, 1, 0, 0}}));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GetInfo,
    testing::Values(
        InfoCase{"ProductCut", {}, {52, 5, 10, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'},
                 52, 4, 0, "abcd####", 4, "", 2},
        InfoCase{"EmptyAnswerPolledToExhaustion", {}, {52, 5, 0}, 52, 8, 1, "########", 0,
                 lines({826}), 101},
        InfoCase{"WrongTypeThenRight", {{50, 2, 5}}, {50, 3, 0x66, 0}, 50, 2, 0,
                 std::string("\x66\x00######", 8), 2, lines({813}), 3},
        InfoCase{"DebugTextDoesNotStopSearch", {}, {18, 5, 3, 'x', 'y', 'z', 51, 3, 0x1F, 0},
                 51, 2, 0, std::string("\x1F\x00######", 8), 2, "\ndbg:xyz\n", 2},
        InfoCase{"DebugTextEndsAtZero", {}, {18, 5, 4, 'x', 0, 'y', 'z', 51, 3, 0x1F, 0}, 51, 2,
                 0, std::string("\x1F\x00######", 8), 2, "\ndbg:x\n", 2},
        InfoCase{"WideValueCutToOneByte", {}, {50, 3, 0x66, 0}, 50, 1, 0, "\x66#######", 1, "", 2},
        InfoCase{"WrongTypeEveryTime", {}, {52, 4, 1, 2, 3, 4}, 52, 8, 1, "########", 0xAA,
                 repeat(lines({813}), 100) + lines({826}), 101}),
    [](const testing::TestParamInfo<InfoCase> &info) { return std::string(info.param.name); });

TEST_F(UsctlTest, ParameterReadReportsWrongSelectorsAndStillAnswers)
{
    const struct { Bytes reply; std::string output; } cases[] = {
        {{97, 2, 3, 98, 2, 2, 197, 2, 0x42}, ""},
        {{97, 2, 9, 98, 2, 2, 197, 2, 0x42}, lines({1022})},
        {{97, 2, 3, 98, 2, 9, 197, 2, 0x42}, lines({1027})},
        {{98, 2, 9, 97, 2, 9, 197, 2, 0x42}, lines({1027, 1022})},
        {{197, 4, 0x42, 1, 0, 0}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.output);
        script.idle = c.reply;
        script.sent.clear();
        use_script();
        uint8_t value = 0;
        CaptureStdout();
        EXPECT_EQ(usctl_get_param197(&handle, 3, 2, &value), 0);
        EXPECT_EQ(GetCapturedStdout(), c.output);
        EXPECT_EQ(value, 0x42);
        EXPECT_EQ(script.sent, (std::vector<Bytes>{{97, 2, 3, 98, 2, 2, 197, 1, 0, 0}}));
    }

    script.idle = {97, 2, 3, 98, 2, 2};
    use_script();
    CaptureStdout();
    EXPECT_EQ(usctl_get_param197(&handle, 3, 2, nullptr), 1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(count().reads, 101u);
}

TEST_F(UsctlTest, ParameterWriteThenReadOnDevice)
{
    use_device();
    int value = -1;
    EXPECT_EQ(usctl_set_param138(&handle, 0x15A), 0);
    EXPECT_EQ(usctl_set_param67(&handle, 9), 0);
    EXPECT_EQ(usctl_get_param198(&handle, &value), 0);
    EXPECT_EQ(value, 0);
    uint8_t byte = 0;
    EXPECT_EQ(usctl_get_param(&handle, 4, 1, 138, &byte), 0);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(messages()[0], (Bytes{97, 2, 4, 98, 2, 1, 138, 2, 0x5A, 0, 0}));
    EXPECT_EQ(messages()[1], (Bytes{97, 2, 1, 98, 2, 1, 67, 2, 9, 0, 0}));
}

// Appending the three parameter items to a message too full for them puts
// the message back as it was.
TEST_F(UsctlTest, ParameterItemsAllOrNothing)
{
    const struct { int room; int status; std::string output; } cases[] = {
        {1, 1, lines({874})},
        {2, 1, "..\\ustest\\usmsg:93:ERROR\n" + lines({874})},
        {5, 1, "..\\ustest\\usmsg:93:ERROR\n" + lines({883})},
        {8, 1, "..\\ustest\\usmsg:93:ERROR\n" + lines({892})},
        {9, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.room);
        uint8_t buf[64];
        std::memset(buf, 0x77, sizeof buf);
        UsMsg msg;
        usmsg_init(&msg, buf, sizeof buf);
        msg.position = uint8_t(64 - c.room);
        CaptureStdout();
        EXPECT_EQ(usctl_put_param_items(&msg, 1, 2, 3, 4), c.status);
        EXPECT_EQ(GetCapturedStdout(), c.output);
        EXPECT_EQ(msg.buf, buf);
        EXPECT_EQ(msg.capacity, 64);
        EXPECT_EQ(msg.position, c.status ? 64 - c.room : 64);
    }
    EXPECT_EQ(usctl_put_param_items(nullptr, 1, 2, 3, 4), 1);
}

TEST_F(UsctlTest, DebugTextTakesLastItemOfOneReply)
{
    script.idle = {18, 5, 2, 'a', 'b', 18, 5, 5, 'c', 'd', 'e', 'f', 'g', 0, 0, 18, 5, 1, 'z'};
    use_script();
    char text[8] = {};
    uint8_t length = 0;
    EXPECT_EQ(usctl_get_debug(&handle, text, 3, &length), 0);
    EXPECT_EQ(std::string(text, length), "cde");
    EXPECT_EQ(count().writes, 0u);

    script.idle = {161, 2, 1};
    length = 99;
    EXPECT_EQ(usctl_get_debug(&handle, text, 3, &length), 0);
    EXPECT_EQ(length, 99) << "no text leaves the length alone";

    script.supply_limit = 10;
    CaptureStdout();
    EXPECT_EQ(usctl_get_debug(&handle, text, 3, &length), 1);
    EXPECT_EQ(GetCapturedStdout(), lines({84, 456}));
}

TEST_F(UsctlTest, QueriesTakeFirstAnswerWithTheirTag)
{
    script.idle = {20, 2, 0x0F, 24, 4, 1, 2, 3, 4, 24, 4, 9, 9, 9, 9};
    use_script();
    uint8_t q20 = 0;
    uint32_t q24 = 0;
    EXPECT_EQ(usctl_query20(&handle, &q20), 0);
    EXPECT_EQ(usctl_query24(&handle, &q24), 0);
    EXPECT_EQ(q20, 0x0F);
    EXPECT_EQ(q24, 0x04030201u);
    EXPECT_EQ(usctl_query20(&handle, nullptr), 0);
    EXPECT_EQ(script.sent, (std::vector<Bytes>{{20, 1, 0, 0}, {24, 1, 0, 0}, {20, 1, 0, 0}}));

    script.idle = {161, 2, 1};
    CaptureStdout();
    EXPECT_EQ(usctl_query20(&handle, &q20), 1);
    EXPECT_EQ(usctl_query24(&handle, &q24), 1);
    EXPECT_EQ(GetCapturedStdout(), lines({692}));
}

TEST_F(UsctlTest, CommandsSendTheirValue)
{
    use_script();
    EXPECT_EQ(usctl_cmd19(&handle, 0x1FF), 0);
    EXPECT_EQ(usctl_cmd21(&handle, 7), 0);
    EXPECT_EQ(usctl_cmd23(&handle, 0x01020304), 0);
    EXPECT_EQ(usctl_set_param131(&handle, 0x105, 6, 0x1FE), 0);
    EXPECT_EQ(script.sent, (std::vector<Bytes>{{19, 2, 0xFF, 0, 0},
                                               {21, 2, 7, 0, 0},
                                               {23, 4, 4, 3, 2, 1, 0, 0},
                                               {97, 2, 5, 98, 2, 6, 131, 2, 0xFE, 0, 0}}));
    EXPECT_EQ(count().reads, 4u) << "one ready poll each, no answer read";
}

TEST(UsctlPrintText, StopsAtCountOrZero)
{
    const struct { const char *bytes; int count; const char *printed; } cases[] = {
        {"abc", 3, "abc"}, {"abc", 2, "ab"}, {"a\0c", 3, "a"}, {"abc", 0, ""}, {"abc", -1, ""},
    };
    for (const auto &c : cases) {
        CaptureStdout();
        usctl_print_text(c.bytes, c.count);
        EXPECT_EQ(GetCapturedStdout(), c.printed) << c.bytes << " " << c.count;
    }
}

} // namespace
