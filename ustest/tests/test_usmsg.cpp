#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "usmsg.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const uint8_t kSentinel = 0xEE;

// A 64-byte message whose untouched bytes are recognisable.
struct Message {
    uint8_t buf[64];
    UsMsg msg;
    Message()
    {
        std::memset(buf, kSentinel, sizeof buf);
        usmsg_init(&msg, buf, sizeof buf);
    }
    std::vector<uint8_t> built() const { return {buf, buf + msg.position}; }
};

std::vector<uint8_t> filler(int n)
{
    std::vector<uint8_t> data(n);
    for (int i = 0; i < n; ++i)
        data[i] = uint8_t(i + 1);
    return data;
}

// A byte string of n bytes and the end item: the message ends with the end
// item only while two bytes are left for it.
struct FillCase {
    int data;
    int length;    // message bytes after the end item
    bool end_written;
};

class ByteStringFill : public testing::TestWithParam<FillCase> {};

TEST_P(ByteStringFill, EndItemOnlyWhereItFits)
{
    const FillCase c = GetParam();
    Message m;
    const std::vector<uint8_t> data = filler(c.data);
    CaptureStdout();
    ASSERT_EQ(usmsg_put(&m.msg, 7, USMSG_TYPE_BYTES, reinterpret_cast<uintptr_t>(data.data()),
                        uint8_t(c.data)), 0);
    EXPECT_EQ(m.msg.position, c.data + 3);
    EXPECT_EQ(usmsg_put(&m.msg, 0, USMSG_TYPE_END, 0, 0), 0);
    EXPECT_EQ(GetCapturedStdout(), "");

    std::vector<uint8_t> expected = {7, 5, uint8_t(c.data)};
    expected.insert(expected.end(), data.begin(), data.end());
    if (c.end_written)
        expected.insert(expected.end(), {0, 0});
    EXPECT_EQ(m.built(), expected);
    EXPECT_EQ(m.msg.position, c.length);
    for (int i = c.length; i < 64; ++i)
        EXPECT_EQ(m.buf[i], kSentinel) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ByteStringFill,
                         testing::Values(FillCase{61, 64, false}, FillCase{60, 63, false},
                                         FillCase{59, 64, true}));

// Integers are cut to their width and stored lowest byte first; reading
// them back gives the cut value, zero-extended.
struct IntCase {
    uint8_t type;
    uint32_t value;
    std::vector<uint8_t> bytes;
    uint32_t read_back;
};

class IntegerItems : public testing::TestWithParam<IntCase> {};

TEST_P(IntegerItems, StoredLittleEndianAndCut)
{
    const IntCase c = GetParam();
    Message m;
    ASSERT_EQ(usmsg_put(&m.msg, 0x41, c.type, c.value, 0), 0);
    std::vector<uint8_t> expected = {0x41, c.type};
    expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(m.built(), expected);

    const uint8_t size = m.msg.position;
    usmsg_reset(&m.msg);
    m.msg.capacity = size;   // the item must parse from exactly its own bytes
    int tag = -1, type = -1;
    uintptr_t value = 99;
    uint8_t length = 99;
    ASSERT_EQ(usmsg_get(&m.msg, &tag, &type, &value, &length), 0);
    EXPECT_EQ(tag, 0x41);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(value, c.read_back);
    EXPECT_EQ(length, c.bytes.size());
    EXPECT_EQ(m.msg.position, size);
}

INSTANTIATE_TEST_SUITE_P(
    Types, IntegerItems,
    testing::Values(IntCase{USMSG_TYPE_NONE, 0x1234, {}, 0},
                    IntCase{USMSG_TYPE_U8, 0x1FF, {0xFF}, 0xFF},
                    IntCase{USMSG_TYPE_U16, 0x102, {0x02, 0x01}, 0x102},
                    IntCase{USMSG_TYPE_U16, 0xABCDE, {0xDE, 0xBC}, 0xBCDE},
                    IntCase{USMSG_TYPE_U32, 0x04030201, {0x01, 0x02, 0x03, 0x04}, 0x04030201},
                    IntCase{USMSG_TYPE_U32, 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFF}));

// Appends that do not fit: the status, the diagnostic, and a message and
// buffer left exactly as they were.
struct RefusalCase {
    const char *name;
    int room;
    uint8_t tag;
    uint8_t type;
    uint8_t length;
    int status;
    const char *output;
};

class Refusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, FailWithoutWriting)
{
    const RefusalCase c = GetParam();
    Message m;
    m.msg.position = uint8_t(64 - c.room);
    const std::vector<uint8_t> data = filler(64);
    uint8_t *value = reinterpret_cast<uint8_t *>(1);
    uint8_t value_length = 77;

    CaptureStdout();
    const int status = usmsg_put_header(&m.msg, c.tag, c.type, c.length, &value, &value_length);
    EXPECT_EQ(GetCapturedStdout(), c.output);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(m.msg.position, 64 - c.room);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(m.buf[i], kSentinel) << "byte " << i;
    if (status == 0) {
        // A dropped end item hands out nothing to write through.
        EXPECT_EQ(value, nullptr);
        EXPECT_EQ(value_length, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    testing::Values(
        RefusalCase{"EndItemDroppedAtOneByte", 1, 0, USMSG_TYPE_END, 0, 0, ""},
        RefusalCase{"EndItemDroppedWhenFull", 0, 0, USMSG_TYPE_END, 0, 0, ""},
        RefusalCase{"TagZeroOfAnyTypeDropped", 1, 0, USMSG_TYPE_U32, 0, 0, ""},
        RefusalCase{"TaggedItemAtOneByteSilent", 1, 9, USMSG_TYPE_NONE, 0, 1, ""},
        RefusalCase{"U8", 2, 9, USMSG_TYPE_U8, 0, 1, "..\\ustest\\usmsg:93:ERROR\n"},
        RefusalCase{"U16", 3, 9, USMSG_TYPE_U16, 0, 1, "..\\ustest\\usmsg:102:ERROR\n"},
        RefusalCase{"U32", 5, 9, USMSG_TYPE_U32, 0, 1, "..\\ustest\\usmsg:111:ERROR\n"},
        RefusalCase{"Bytes", 10, 9, USMSG_TYPE_BYTES, 8, 1, "..\\ustest\\usmsg:124:ERROR\n"},
        RefusalCase{"AllRoomWithoutRoomForLength", 2, 9, USMSG_TYPE_BYTES, 0, 1,
                    "..\\ustest\\usmsg:124:ERROR\n"},
        RefusalCase{"UnknownType", 64, 9, 6, 0, 1, "..\\ustest\\usmsg:73:ERROR\n"},
        RefusalCase{"EndItemWithTag", 64, 9, USMSG_TYPE_END, 0, 1,
                    "..\\ustest\\usmsg:78:ERROR\n"}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

TEST(UsMsg, DeclaredLengthZeroTakesAllRoomLeft)
{
    const int rooms[] = {10, 3};
    for (int room : rooms) {
        SCOPED_TRACE(room);
        Message m;
        m.msg.position = uint8_t(64 - room);
        uint8_t *value = nullptr;
        uint8_t length = 0;
        ASSERT_EQ(usmsg_put_header(&m.msg, 4, USMSG_TYPE_BYTES, 0, &value, &length), 0);
        EXPECT_EQ(length, room - 3);
        EXPECT_EQ(m.buf[64 - room + 2], room - 3);
        EXPECT_EQ(value, m.buf + 64 - room + 3);
        EXPECT_EQ(m.msg.position, 64);
    }
}

TEST(UsMsg, RoomIsLargestByteStringThatFits)
{
    Message m;
    const struct { int position; int room; } cases[] = {{0, 61}, {60, 1}, {61, 0}, {64, 0}};
    for (const auto &c : cases) {
        m.msg.position = uint8_t(c.position);
        EXPECT_EQ(usmsg_room(&m.msg), c.room) << "position " << c.position;
    }
}

struct Parsed {
    int tag;
    int type;
    uintptr_t value;
    int length;
};

std::vector<Parsed> parse_all(UsMsg *msg)
{
    std::vector<Parsed> items;
    Parsed p{};
    uint8_t length = 0;
    while (usmsg_get(msg, &p.tag, &p.type, &p.value, &length) == 0) {
        p.length = length;
        items.push_back(p);
    }
    return items;
}

TEST(UsMsgParse, ReadsItemsUpToTheEndItem)
{
    uint8_t reply[64] = {0xA1, 2, 1,   0x32, 3, 0x66, 0x00, 0x28, 4, 0xB8, 0xC7, 0x40, 0x01,
                         0x34, 5, 3,   'Q',  'e', 'l',  0x22, 1,  0,  0,    0x31, 1};
    UsMsg msg;
    usmsg_init(&msg, reply, sizeof reply);
    const std::vector<Parsed> items = parse_all(&msg);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].value, 1u);
    EXPECT_EQ(items[1].value, 0x66u);
    EXPECT_EQ(items[2].value, 0x0140C7B8u);
    EXPECT_EQ(items[3].value, reinterpret_cast<uintptr_t>(reply + 16));
    EXPECT_EQ(items[3].length, 3);
    EXPECT_EQ(items[4].tag, 0x22);
    EXPECT_EQ(items[4].type, USMSG_TYPE_NONE);
    EXPECT_EQ(items[4].value, 0u);
    // The end item stops the parse for good: the item after it is never read.
    EXPECT_EQ(msg.position, 21);
    EXPECT_NE(usmsg_get(&msg, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(msg.position, 21);
}

TEST(UsMsgParse, ZeroReplyHoldsNoItem)
{
    uint8_t reply[64] = {};
    UsMsg msg;
    usmsg_init(&msg, reply, sizeof reply);
    EXPECT_TRUE(parse_all(&msg).empty());
}

TEST(UsMsgParse, UnknownTypePrintsItAndStops)
{
    uint8_t reply[64] = {0x32, 3, 0x66, 0, 0x33, 7, 1, 2, 0x34, 5, 1, 'Q'};
    UsMsg msg;
    usmsg_init(&msg, reply, sizeof reply);
    CaptureStdout();
    const std::vector<Parsed> items = parse_all(&msg);
    EXPECT_EQ(GetCapturedStdout(), "..\\ustest\\usmsg:186:ERROR 0x7\n");
    EXPECT_EQ(items.size(), 1u);
    EXPECT_EQ(msg.position, 4);
}

// Items cut short by the end of the buffer end the parse quietly. Each buffer
// is exactly as long as its bytes, so a read past it is caught by the
// sanitizer build.
TEST(UsMsgParse, TruncatedItemsEndTheParse)
{
    const struct { const char *name; std::vector<uint8_t> bytes; } cases[] = {
        {"u8", {0x10, 2}},
        {"u16", {0x10, 3, 1}},
        {"u32", {0x10, 4, 1, 2, 3}},
        {"bytes length past end", {0x10, 5, 3, 'a', 'b'}},
        {"bytes without length", {0x10, 5}},
        {"lone byte", {0x10}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buf(c.bytes);
        UsMsg msg;
        usmsg_init(&msg, buf.data(), int(buf.size()));
        CaptureStdout();
        const int status = usmsg_get(&msg, nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_EQ(status, 1);
        EXPECT_EQ(msg.position, 0);
    }
}

TEST(UsMsgParse, NullOutsStillAdvance)
{
    uint8_t reply[64] = {0x21, 4, 1, 2, 3, 4, 0x18, 5, 2, 'x', 'y'};
    UsMsg msg;
    usmsg_init(&msg, reply, sizeof reply);
    EXPECT_EQ(usmsg_get(&msg, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(msg.position, 6);
    EXPECT_EQ(usmsg_get(&msg, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(msg.position, 11);
}

} // namespace
