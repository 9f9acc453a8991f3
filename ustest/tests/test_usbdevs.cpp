// Device discovery and the request channel over the Unix-socket stand-in,
// with the test playing the driver.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "channelwire.h"
#include "testdriver.h"
#include "usbdevs.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string k_site = "..\\ustest\\usbdevs_win:";

std::string site(int line)
{
    return k_site + std::to_string(line) + ":ERROR\n";
}

// The lines that print the last error: its code, then the system's text.
std::string last_error_lines(int err)
{
    char code[64];
    std::snprintf(code, sizeof code, "GetLastError() = %#x\n", static_cast<unsigned>(err));
    return code + std::string(std::strerror(err)) + "\n";
}

Bytes ok_reply()
{
    return channel_reply(0, 0);
}

class Channel : public testing::Test {
protected:
    void SetUp() override { usbdevs_init(&ctx); }

    // A present "qel" device with one interface, its driver answering with handler.
    void present(TestDriver::Handler handler)
    {
        const std::string dir = reg.add_device("dev0", "qel\n", { "global" });
        driver.reset(new TestDriver(dir + "/render/qel", std::move(handler)));
        ASSERT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    }

    void set_path(const std::string &path)
    {
        ASSERT_LT(path.size(), sizeof ctx.dev[0].path);
        std::strcpy(ctx.dev[0].path, path.c_str());
    }

    TestRegistry reg;
    usbdevs_context ctx;
    std::unique_ptr<TestDriver> driver;
};

TEST_F(Channel, NumbersOtherThanZeroFailWithoutEnumerating)
{
    // A root that cannot be read makes any enumeration print line 73.
    std::ofstream(reg.root()) << "not a directory";
    usbdevs_context *handle = nullptr;
    for (int number = 1; number <= 9; ++number) {
        CaptureStdout();
        EXPECT_EQ(1, usbdevs_open_index(&ctx, &handle, static_cast<uint8_t>(number)));
        EXPECT_EQ("", GetCapturedStdout()) << number;
    }
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_open_index(&ctx, &handle, 0));
    EXPECT_EQ("ERROR : 73\n", GetCapturedStdout());
    EXPECT_EQ(nullptr, handle);
}

TEST_F(Channel, MissingRootIsAnEmptyList)
{
    set_path("kept");
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_open_index(&ctx, nullptr, 0));
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_STREQ("kept", ctx.dev[0].path);
}

struct ServiceCase {
    const char *name;
    const char *content;   // null: no service file; "/": a directory in its place
    bool matches;
};

class ServiceName : public testing::TestWithParam<ServiceCase> {};

TEST_P(ServiceName, MatchesExactly)
{
    const ServiceCase &c = GetParam();
    TestRegistry reg;
    const std::string dir = reg.add_device("dev", nullptr, { "global" });
    if (c.content && std::string(c.content) == "/")
        fs::create_directory(dir + "/service");
    else if (c.content)
        std::ofstream(dir + "/service", std::ios::binary) << std::string(c.content, std::strlen(c.content));
    const bool unreadable = !c.content || std::string(c.content) == "/";

    usbdevs_context ctx;
    usbdevs_init(&ctx);
    usbdevs_context *handle = nullptr;
    CaptureStdout();
    EXPECT_EQ(c.matches ? 0 : 1, usbdevs_open_index(&ctx, &handle, 0));
    EXPECT_EQ(unreadable ? "ERROR : 94\n" : "", GetCapturedStdout());
    if (c.matches) {
        EXPECT_EQ(&ctx, handle);
        EXPECT_EQ(dir + "/render/global", ctx.dev[0].path);
    } else {
        EXPECT_EQ(nullptr, handle);
        EXPECT_STREQ("", ctx.dev[0].path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Channel, ServiceName,
    testing::Values(ServiceCase{ "plain", "qel", true }, ServiceCase{ "line", "qel\n", true },
                    ServiceCase{ "upper", "QEL", false }, ServiceCase{ "longer", "qel2", false },
                    ServiceCase{ "shorter", "qe", false },
                    ServiceCase{ "two_lines", "qel\n\n", false },
                    ServiceCase{ "carriage_return", "qel\r\n", false },
                    ServiceCase{ "leading_space", " qel", false },
                    ServiceCase{ "missing", nullptr, false },
                    ServiceCase{ "unreadable", "/", false }),
    [](const testing::TestParamInfo<ServiceCase> &info) { return info.param.name; });

TEST_F(Channel, LastMatchingInterfaceStays)
{
    reg.add_device("B", "qel", { "first" });
    const std::string a = reg.add_device("a", "qel", { "global", "zz" });
    reg.add_device("c", "other", { "w" });
    reg.add_device(".hidden", "qel", { "z" });
    // Present but without an interface: neither a subdirectory nor the
    // channel socket counts as one.
    const std::string d = reg.add_device("d", "qel", {});
    fs::create_directory(d + "/render/sub");
    const int sock = listen_unix(d + "/render/qel");
    ASSERT_GE(sock, 0);

    CaptureStdout();
    EXPECT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(a + "/render/zz", ctx.dev[0].path);
    close(sock);
}

// Only devices are skipped for a leading dot; inside render/ every regular
// file is an interface, and a linked interface counts as what it points at.
// A linked device directory could point anywhere and is never used.
TEST_F(Channel, DotNamedInterfaceLinkedInterfaceAndLinkedDevice)
{
    const std::string hidden = reg.add_device("x", "qel", { ".iface" });
    EXPECT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    EXPECT_EQ(hidden + "/render/.iface", ctx.dev[0].path);

    const std::string target = reg.add_device(".prepared", "qel", { "global" });
    fs::create_directory_symlink(target, fs::path(target).parent_path() / "w");
    EXPECT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    EXPECT_EQ(hidden + "/render/.iface", ctx.dev[0].path);

    const std::string linked = reg.add_device("z", "qel", {});
    fs::create_symlink(hidden + "/render/.iface", linked + "/render/global");
    EXPECT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    EXPECT_EQ(linked + "/render/global", ctx.dev[0].path);
}

TEST_F(Channel, FindReportsTheCopyAndIgnoresANullName)
{
    const std::string dir = reg.add_device("dev", "qel", { "global" });
    char path[USBDEVS_PATH_CAPACITY] = "kept";
    int status = -1;
    EXPECT_EQ(0, usbdevs_find(nullptr, path, sizeof path, &status));
    EXPECT_STREQ("kept", path);
    EXPECT_EQ(-1, status);

    EXPECT_EQ(1, usbdevs_find("qel", path, sizeof path, &status));
    EXPECT_EQ(dir + "/render/global", path);
    EXPECT_EQ(0, status);

    // A path out too small: reported, and not cut into another path.
    char small[8] = "kept";
    EXPECT_EQ(1, usbdevs_find("qel", small, sizeof small, &status));
    EXPECT_NE(0, status);
    EXPECT_STREQ("", small);

    EXPECT_EQ(1, usbdevs_find("qel", nullptr, 0, nullptr));
}

// Every qel interface in enumeration order, each one reachable on its own;
// other services, dot-named devices and paths that do not fit are left out.
TEST_F(Channel, ListGivesEveryQelInterfaceAndOpensTheChosenOne)
{
    EXPECT_EQ(0, usbdevs_list(nullptr, 0));
    const std::string b = reg.add_device("B", "qel", { "first" });
    const std::string a = reg.add_device("a", "qel", { "global", "zz" });
    reg.add_device("c", "other", { "w" });
    reg.add_device(".hidden", "qel", { "z" });
    reg.add_device(std::string(250, 'd'), "qel", { "global" });

    EXPECT_EQ(3, usbdevs_list(nullptr, 0));
    usbdevs_entry entries[2] = {};
    ASSERT_EQ(3, usbdevs_list(entries, 2));   // only as many as there is room for
    EXPECT_EQ(b + "/render/first", entries[0].path);
    EXPECT_EQ(a + "/render/global", entries[1].path);

    TestDriver driver_b(b + "/render/qel", [](const Bytes &) { return ok_reply(); });
    TestDriver driver_a(a + "/render/qel", [](const Bytes &) { return ok_reply(); });
    usbdevs_context *handle = nullptr;
    ASSERT_EQ(0, usbdevs_open_path(&ctx, &handle, entries[1].path));
    EXPECT_EQ(&ctx, handle);
    const uint8_t byte = 1;
    EXPECT_EQ(0, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte));
    EXPECT_EQ(1u, driver_a.wait_for(1).size());
    EXPECT_TRUE(driver_b.untouched());

    EXPECT_EQ(1, usbdevs_open_path(&ctx, nullptr, ""));
    EXPECT_EQ(1, usbdevs_open_path(&ctx, nullptr, nullptr));
    const std::string too_long(USBDEVS_PATH_CAPACITY + 5, 'x');
    EXPECT_EQ(1, usbdevs_open_path(&ctx, nullptr, too_long.c_str()));
}

TEST_F(Channel, UnsetRuntimeDirectoryUsesTheUserRoot)
{
    const std::string root = "/tmp/qel-devices-" + std::to_string(getuid());
    const std::string name = "qel-test-" + std::to_string(getpid());
    const bool had_root = fs::exists(root);
    const std::string dir = root + "/" + name;
    fs::create_directories(dir + "/render");
    std::ofstream(dir + "/service") << name;
    std::ofstream(dir + "/render/global") << "";
    setenv("XDG_RUNTIME_DIR", "", 1);

    char path[USBDEVS_PATH_CAPACITY] = "";
    EXPECT_EQ(1, usbdevs_find(name.c_str(), path, sizeof path, nullptr));
    EXPECT_EQ(dir + "/render/global", path);

    fs::remove_all(dir);
    if (!had_root)
        fs::remove(root);
}

struct PathCase {
    const char *name;
    const char *interface;   // relative to the working directory
    const char *channel;
};

class ChannelPath : public Channel, public testing::WithParamInterface<PathCase> {
protected:
    void SetUp() override
    {
        Channel::SetUp();
        saved_cwd = fs::current_path();
        fs::current_path(reg.base());
    }
    void TearDown() override { fs::current_path(saved_cwd); }
    fs::path saved_cwd;
};

TEST_P(ChannelPath, ReplacesTheReferenceName)
{
    const PathCase &c = GetParam();
    fs::create_directories(fs::path(c.channel).parent_path());
    TestDriver driver(c.channel, [](const Bytes &) { return ok_reply(); });
    set_path(c.interface);
    const uint8_t byte = 1;
    EXPECT_EQ(0, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte));
    EXPECT_EQ(1u, driver.wait_for(1).size());
}

INSTANTIATE_TEST_SUITE_P(
    Channel, ChannelPath,
    testing::Values(PathCase{ "reference", "dev/render/global", "dev/render/qel" },
                    PathCase{ "last_separator", "a/b.c/render/x.y", "a/b.c/render/qel" },
                    PathCase{ "trailing_separator", "dev/render/", "dev/render/qel" },
                    PathCase{ "no_separator", "single", "single/qel" }),
    [](const testing::TestParamInfo<PathCase> &info) { return info.param.name; });

TEST_F(Channel, EmptyPathOpensNothing)
{
    CaptureStdout();
    const uint8_t byte = 1;
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte));
    EXPECT_EQ(last_error_lines(ENOENT) + "ERROR : 200\n" + site(248), GetCapturedStdout());
}

TEST_F(Channel, InterfacePathTooLongLeavesTheDeviceUnused)
{
    // Cut at 259 bytes, this path would end inside the instance name and give
    // the channel at the registry root.
    fs::create_directories(reg.root());
    TestDriver wrong(reg.root() + "/qel", [](const Bytes &) { return ok_reply(); });
    const std::string instance(250, 'd');
    reg.add_device(instance, "qel", { "global" });
    ASSERT_GT(reg.root().size() + 1 + instance.size() + 14, 259u);

    usbdevs_context *handle = nullptr;
    EXPECT_EQ(1, usbdevs_open_index(&ctx, &handle, 0));
    EXPECT_EQ(nullptr, handle);
    EXPECT_STREQ("", ctx.dev[0].path);

    CaptureStdout();
    const uint8_t byte = 1;
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte));
    uint8_t buf[64];
    EXPECT_EQ(1, usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, sizeof buf, buf));
    GetCapturedStdout();
    EXPECT_TRUE(wrong.untouched());
}

TEST_F(Channel, ChannelPathBeyondTheSocketLimitFailsAtOpening)
{
    // Fits the 260-byte field but not a socket address.
    const std::string instance(120, 'd');
    reg.add_device(instance, "qel", { "global" });
    ASSERT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    CaptureStdout();
    const uint8_t byte = 1;
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte));
    EXPECT_EQ(last_error_lines(ENAMETOOLONG) + "ERROR : 200\n" + site(248), GetCapturedStdout());
}

struct WriteCase {
    uint16_t length;
    uint32_t input_length;
};

class WriteLayout : public Channel, public testing::WithParamInterface<WriteCase> {};

// The one test that spells the wire format out byte by byte instead of
// through channelwire.h: every end of the channel takes its numbers from
// there, so only literals written apart from it notice when one changes.
// What a write's bytes cannot show is pinned beside it.
static_assert(QEL_CONTROL_IN == 1 && QEL_CHANNEL_REPLY_ERROR_AT == 4
                  && QEL_CHANNEL_REPLY_COUNT_AT == 8 && QEL_CHANNEL_MAX_INPUT == 65551
                  && QEL_CHANNEL_MAX_OUTPUT == 65535 && QEL_REQUEST_MESSAGE == 29
                  && QEL_REQUEST_REPLY == 30 && QEL_MESSAGE_SIZE == 64,
              "the wire format is the device's and its driver's, not ours to change");
TEST_P(WriteLayout, SendsOneRequest)
{
    const WriteCase &c = GetParam();
    present([](const Bytes &) { return Bytes{ 'Q', 'E', 'L', 'R', 0, 0, 0, 0, 0, 0, 0, 0 }; });
    Bytes payload(c.length);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(0xA0 + i);

    CaptureStdout();
    EXPECT_EQ(0, usbdevs_write(&ctx, 0x1D, 0x1234, 0xBEEF, c.length, payload.data()));
    EXPECT_EQ("", GetCapturedStdout());

    const auto conns = driver->wait_for(1);
    ASSERT_EQ(1u, conns.size());
    EXPECT_TRUE(conns[0].closed_by_client);
    const Bytes &r = conns[0].request;
    ASSERT_EQ(16 + c.input_length, r.size());
    EXPECT_EQ(0, std::memcmp(r.data(), "QELC", 4));
    EXPECT_EQ(0x222000u, get_le32(&r[4]));
    EXPECT_EQ(c.input_length, get_le32(&r[8]));
    EXPECT_EQ(0u, get_le32(&r[12]));
    const uint8_t *in = &r[16];
    EXPECT_EQ(0u, get_le32(in + 0));          // direction: host to device
    EXPECT_EQ(c.length, get_le32(in + 4));
    EXPECT_EQ(23, get_le16(in + 8));
    EXPECT_EQ(0x1234, get_le16(in + 10));
    EXPECT_EQ(0xBEEF, get_le16(in + 12));
    EXPECT_EQ(0, in[14]);
    EXPECT_EQ(0x1D, in[15]);
    EXPECT_EQ(payload, Bytes(in + 16, in + 16 + c.length));
    for (uint32_t i = 16 + c.length; i < c.input_length; ++i)
        EXPECT_EQ(0, in[i]) << "padding byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Channel, WriteLayout,
                         testing::Values(WriteCase{ 1, 20 }, WriteCase{ 3, 20 },
                                         WriteCase{ 4, 20 }, WriteCase{ 5, 21 },
                                         WriteCase{ 64, 80 }));

TEST_F(Channel, ReadSendsOneRequestAndDeliversTheReply)
{
    Bytes answer(64);
    for (size_t i = 0; i < answer.size(); ++i)
        answer[i] = static_cast<uint8_t>(i * 7 + 1);
    present([&](const Bytes &) { return channel_reply(0, 64, answer); });

    uint8_t buf[64] = {};
    CaptureStdout();
    EXPECT_EQ(0, usbdevs_read(&ctx, 0x1E, 0x0102, 0x0304, sizeof buf, buf));
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(answer, Bytes(buf, buf + sizeof buf));

    const auto conns = driver->wait_for(1);
    ASSERT_EQ(1u, conns.size());
    EXPECT_TRUE(conns[0].closed_by_client);
    const Bytes &r = conns[0].request;
    ASSERT_EQ(size_t(QEL_CHANNEL_REQUEST_HEADER + QEL_CONTROL_MIN_INPUT), r.size());
    EXPECT_EQ(0, std::memcmp(r.data(), QEL_CHANNEL_REQUEST_MAGIC, QEL_CHANNEL_MAGIC_SIZE));
    EXPECT_EQ(uint32_t(QEL_CONTROL_CODE), get_le32(&r[QEL_CHANNEL_REQUEST_CODE_AT]));
    EXPECT_EQ(uint32_t(QEL_CONTROL_MIN_INPUT), get_le32(&r[QEL_CHANNEL_REQUEST_INPUT_AT]));
    EXPECT_EQ(64u, get_le32(&r[QEL_CHANNEL_REQUEST_OUTPUT_AT]));
    const uint8_t *in = &r[QEL_CHANNEL_REQUEST_HEADER];
    EXPECT_EQ(uint32_t(QEL_CONTROL_IN), get_le32(in + QEL_CONTROL_DIRECTION_AT));
    EXPECT_EQ(0u, get_le32(in + QEL_CONTROL_LENGTH_AT));
    EXPECT_EQ(QEL_CONTROL_FUNCTION_VENDOR_DEVICE, get_le16(in + QEL_CONTROL_FUNCTION_AT));
    EXPECT_EQ(0x0102, get_le16(in + QEL_CONTROL_VALUE_AT));
    EXPECT_EQ(0x0304, get_le16(in + QEL_CONTROL_INDEX_AT));
    EXPECT_EQ(0, in[QEL_CONTROL_RESERVED_AT]);
    EXPECT_EQ(0x1E, in[QEL_CONTROL_REQUEST_AT]);
    EXPECT_EQ(0u, get_le32(in + QEL_CONTROL_HEADER));   // the four zero bytes after the header
}

TEST_F(Channel, RefusedWritesOpenNothing)
{
    present([](const Bytes &) { return ok_reply(); });
    const uint8_t byte = 1;
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 0, &byte));
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, nullptr));
    EXPECT_EQ(site(244) + site(245), GetCapturedStdout());
    EXPECT_TRUE(driver->untouched());
}

struct FailureCase {
    const char *name;
    bool write;       // a 1-byte write, else a 64-byte read
    Bytes reply;      // sent as it stands, then the driver closes
    std::string output;
};

class Failure : public Channel, public testing::WithParamInterface<FailureCase> {};

TEST_P(Failure, FailsAfterOneOpening)
{
    const FailureCase &c = GetParam();
    present([&](const Bytes &) { return c.reply; });
    uint8_t buf[65];
    std::memset(buf, 0xEE, sizeof buf);
    const uint8_t byte = 1;

    CaptureStdout();
    const int result = c.write ? usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte)
                               : usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, 64, buf);
    EXPECT_EQ(1, result);
    EXPECT_EQ(c.output, GetCapturedStdout());
    EXPECT_EQ(0xEE, buf[64]) << "wrote past the caller's buffer";

    const auto conns = driver->wait_for(1);
    ASSERT_EQ(1u, conns.size());
    EXPECT_TRUE(conns[0].closed_by_client);
}

Bytes filled(size_t n)
{
    return Bytes(n, 0x5A);
}

Bytes cut(Bytes b, size_t size)
{
    b.resize(size);
    return b;
}

Bytes with_magic(Bytes b, const char *magic)
{
    std::memcpy(b.data(), magic, QEL_CHANNEL_MAGIC_SIZE);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Channel, Failure,
    testing::Values(
        FailureCase{ "write_answered_with_bytes", true, channel_reply(0, 1, filled(1)), site(229) },
        FailureCase{ "read_answered_short", false, channel_reply(0, 63, filled(63)), site(229) },
        FailureCase{ "read_answered_long", false, channel_reply(0, 65, filled(65)), site(229) },
        FailureCase{ "read_answered_empty", false, channel_reply(0, 0), site(229) },
        FailureCase{ "write_stalled", true, channel_reply(EIO, 0), site(223) + last_error_lines(EIO) },
        FailureCase{ "read_refused", false, channel_reply(EINVAL, 0),
                     site(223) + last_error_lines(EINVAL) },
        FailureCase{ "wrong_magic", false,
                     with_magic(channel_reply(0, 64, filled(64)), QEL_CHANNEL_REQUEST_MAGIC),
                     site(223) + last_error_lines(EPROTO) },
        FailureCase{ "closed_without_reply", true, Bytes(), site(223) + last_error_lines(EIO) },
        FailureCase{ "closed_inside_header", false, cut(channel_reply(0, 0), 5),
                     site(223) + last_error_lines(EIO) },
        FailureCase{ "closed_inside_bytes", false, channel_reply(0, 64, filled(10)),
                     site(223) + last_error_lines(EIO) }),
    [](const testing::TestParamInfo<FailureCase> &info) { return info.param.name; });

TEST_F(Channel, LongReplyKeepsOnlyWhatFits)
{
    Bytes answer(100);
    for (size_t i = 0; i < answer.size(); ++i)
        answer[i] = static_cast<uint8_t>(i);
    present([&](const Bytes &) { return channel_reply(0, 100, answer); });
    uint8_t buf[65];
    std::memset(buf, 0xEE, sizeof buf);
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, 64, buf));
    GetCapturedStdout();
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 64), Bytes(buf, buf + 64));
    EXPECT_EQ(0xEE, buf[64]);
}

TEST_F(Channel, DeviceThatWentAwayFailsAtOpening)
{
    present([](const Bytes &) { return ok_reply(); });
    fs::remove_all(reg.root() + "/dev0");
    const std::string opening = last_error_lines(ENOENT) + "ERROR : 200\n";
    const uint8_t byte = 1;
    uint8_t buf[64];

    CaptureStdout();
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte));
    EXPECT_EQ(opening + site(248), GetCapturedStdout());
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, sizeof buf, buf));
    EXPECT_EQ(opening, GetCapturedStdout());
    EXPECT_TRUE(driver->untouched());
}

TEST_F(Channel, SilentDriverFailsAfterTheReplyLimit)
{
    present([](const Bytes &) { return std::nullopt; });
    uint8_t buf[64];
    const auto start = std::chrono::steady_clock::now();
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, sizeof buf, buf));
    EXPECT_EQ(site(223) + last_error_lines(ETIMEDOUT), GetCapturedStdout());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(QEL_CHANNEL_TIME_LIMIT_MS - 100));
    EXPECT_LT(waited, std::chrono::milliseconds(QEL_CHANNEL_TIME_LIMIT_MS + 3000));
    const auto conns = driver->wait_for(1);
    ASSERT_EQ(1u, conns.size());
    EXPECT_TRUE(conns[0].closed_by_client);
}

TEST_F(Channel, DriverThatStopsAcceptingFailsAtOpening)
{
    // A listener that never accepts, its one-place queue already taken.
    const std::string dir = reg.add_device("dev0", "qel", { "global" });
    const int listener = listen_unix(dir + "/render/qel", 0);
    ASSERT_GE(listener, 0);
    set_path(dir + "/render/global");
    const int queued = connect_unix(dir + "/render/qel");
    ASSERT_GE(queued, 0);

    uint8_t buf[64];
    const auto start = std::chrono::steady_clock::now();
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, sizeof buf, buf));
    EXPECT_EQ(last_error_lines(EAGAIN) + "ERROR : 200\n", GetCapturedStdout());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(QEL_CHANNEL_TIME_LIMIT_MS - 100));
    EXPECT_LT(waited, std::chrono::milliseconds(QEL_CHANNEL_TIME_LIMIT_MS + 3000));
    close(queued);
    close(listener);
}

TEST_F(Channel, PrintsTheLastError)
{
    CaptureStdout();
    errno = ECONNREFUSED;
    usbdevs_print_last_error();
    EXPECT_EQ(last_error_lines(ECONNREFUSED), GetCapturedStdout());
}

} // namespace
