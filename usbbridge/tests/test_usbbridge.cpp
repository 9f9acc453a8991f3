// qel-usb-bridge through the real libusb, with no hardware: the bridge runs
// under umockdev's preload library against emulated USB audio devices, and
// this process, not preloaded, is its client through the device registry.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <thread>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "childprocess.h"
#include "prgdecode.h"
#include "testdriver.h"
#include "usbfsmock.h"
#include "usctl.h"

namespace fs = std::filesystem;

namespace {

const uint16_t k_qel_vendor = 0x1209;   // placeholder IDs: the real ones are not known
const uint16_t k_qel_product = 0x0001;

// The bridge, started under umockdev with its standard output and errors on a pipe.
class BridgeProcess : public ChildProcess {
public:
    BridgeProcess(const std::string &umockdev_dir, const std::vector<std::string> &args)
        : ChildProcess(QEL_USB_BRIDGE_PATH, args, UsbfsMock::child_env(umockdev_dir), true)
    {
    }
};

// The bridge as a user without the node's write permission would run it. Root
// ignores file modes, so there it runs without the capabilities that let it.
class UnprivilegedBridge : public ChildProcess {
public:
    UnprivilegedBridge(const std::string &umockdev_dir, const std::vector<std::string> &args)
        : ChildProcess(geteuid() == 0 ? "/usr/bin/setpriv" : QEL_USB_BRIDGE_PATH, with_setpriv(args),
                       UsbfsMock::child_env(umockdev_dir), true)
    {
    }

private:
    static std::vector<std::string> with_setpriv(std::vector<std::string> args)
    {
        if (geteuid() == 0)
            args.insert(args.begin(), { "--bounding-set=-dac_override,-dac_read_search,-fowner", "--",
                                        QEL_USB_BRIDGE_PATH });
        return args;
    }
};

void put32(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A whole channel request: header, then the I/O control request's 16-byte
// header and payload.
Bytes request(uint32_t direction, uint32_t length, uint8_t code, uint16_t value, const Bytes &payload,
              uint32_t out_length)
{
    Bytes input;
    put32(input, direction);
    put32(input, length);
    input.insert(input.end(), { 23, 0, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                0, 0, 0, code });
    input.insert(input.end(), payload.begin(), payload.end());
    Bytes b = { 'Q', 'E', 'L', 'C' };
    put32(b, 0x222000);
    put32(b, static_cast<uint32_t>(input.size()));
    put32(b, out_length);
    b.insert(b.end(), input.begin(), input.end());
    return b;
}

// One exchange over the channel; the reply's error, or -1 when no whole reply came.
int64_t one_exchange(const std::string &channel, const Bytes &req)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (channel.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, channel.c_str(), channel.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        close(fd);
        return -1;
    }
    Bytes reply;
    uint8_t buf[256];
    for (ssize_t r; (r = read(fd, buf, sizeof buf)) > 0;)
        reply.insert(reply.end(), buf, buf + r);
    close(fd);
    if (reply.size() < 12 || std::memcmp(reply.data(), "QELR", 4) != 0)
        return -1;
    return get_le32(reply.data() + 4);
}

bool eventually(const std::function<bool()> &condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        usleep(1000);
    }
    return true;
}

Bytes file_bytes(const char *path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

UsbfsMock::DeviceSetup qel_device(const std::string &port, uint8_t address)
{
    UsbfsMock::DeviceSetup setup;
    setup.port = port;
    setup.address = address;
    setup.vendor = k_qel_vendor;
    setup.product = k_qel_product;
    setup.config.installed = file_bytes(QEL_UPDATE_BIN);
    return setup;
}

// A Qel device at 1-1 and another maker's audio device at 1-2, with the
// registry private to the test.
class UsbBridgeTest : public testing::Test {
protected:
    void SetUp() override
    {
        mock_.add(qel_device("1-1", 2));
        UsbfsMock::DeviceSetup foreign;
        foreign.port = "1-2";
        foreign.address = 3;
        foreign.vendor = 0x1209;
        foreign.product = 0x0002;
        mock_.add(foreign);
    }

    std::string entry(const std::string &name) const { return registry_.root() + "/" + name; }

    TestRegistry registry_;
    UsbfsMock mock_;
};

TEST_F(UsbBridgeTest, ListShowsTheAudioDevicesWithoutTouchingThem)
{
    BridgeProcess bridge(mock_.root_dir(), { "--list" });
    EXPECT_EQ(0, bridge.wait()) << bridge.output();
    EXPECT_NE(std::string::npos, bridge.output().find("port 1-1 ID 1209:0001 Qel test / Qel USB audio"))
        << bridge.output();
    EXPECT_NE(std::string::npos, bridge.output().find("port 1-2 ID 1209:0002")) << bridge.output();
    EXPECT_EQ(0u, mock_.counts("1-1").urbs);
}

TEST_F(UsbBridgeTest, TheUpdatersDeviceLayerReadsIdentityAndChecksumThroughTheBridge)
{
    BridgeProcess bridge(mock_.root_dir(), { "--id", "1209:0001" });
    EXPECT_EQ(entry("usb-1-1") + "/render/qel", bridge.await("ready: "));

    usctl_device dev{};
    usctl_handle handle = nullptr;
    ASSERT_EQ(0, usctl_init(&dev));
    ASSERT_EQ(0, usctl_open(&dev, &handle));
    uint16_t version = 0;
    uint16_t build = 0;
    char product[16] = {};
    uint8_t product_length = 0;
    uint32_t checksum = 0;
    EXPECT_EQ(0, usctl_get_version(&handle, &version));
    EXPECT_EQ(0, usctl_get_build(&handle, &build));
    EXPECT_EQ(0, usctl_get_product(&handle, product, sizeof product - 1, &product_length));
    EXPECT_EQ(0, usctl_get_checksum(&handle, 4096, &checksum));
    usctl_exit(&dev);

    mock_.with_device("1-1", [&](qel::Device &d) {
        EXPECT_EQ(d.version(), version);
        EXPECT_EQ(d.build(), build);
        EXPECT_EQ(d.product(), std::string(product));
        EXPECT_EQ(d.checksum(4096), checksum);
    });
    const UsbfsMock::Counts qel = mock_.counts("1-1");
    EXPECT_LT(0u, qel.urbs);
    EXPECT_EQ(0u, qel.unknown) << "ioctl " << std::hex << qel.last_unknown;
    // The other maker's device, audio class too, is neither served nor spoken to.
    EXPECT_EQ(0u, mock_.counts("1-2").urbs);
    EXPECT_EQ(0u, mock_.counts("1-2").unknown);
    EXPECT_FALSE(fs::exists(entry("usb-1-2")));

    EXPECT_EQ(0, bridge.stop());
    EXPECT_FALSE(fs::exists(entry("usb-1-1")));
}

TEST_F(UsbBridgeTest, AStallReachesTheClientAsAnIoErrorAndServingGoesOn)
{
    UsbfsMock::DeviceSetup setup = qel_device("1-3", 4);
    setup.config.fail_writes = 1;
    mock_.add(setup);
    BridgeProcess bridge(mock_.root_dir(), { "--port", "1-3" });
    const std::string channel = bridge.await("ready: ");
    EXPECT_EQ(entry("usb-1-3") + "/render/qel", channel);
    const Bytes message = request(0, 4, 29, 0, Bytes(4), 0);
    EXPECT_EQ(EIO, one_exchange(channel, message));
    EXPECT_EQ(0, one_exchange(channel, message));
    EXPECT_EQ(2u, mock_.counts("1-3").urbs);
    EXPECT_EQ(0, bridge.stop());
}

// The one full-size case: under umockdev libusb polls without pause, so
// every transfer costs far more than on hardware.
TEST_F(UsbBridgeTest, AWholeImageIsTransferredAndInstalled)
{
    UsbfsMock::DeviceSetup setup = qel_device("1-3", 4);
    setup.config.installed.clear();
    setup.config.version = 101;
    setup.config.build = 30;
    mock_.add(setup);
    const Bytes image = file_bytes(QEL_UPDATE_BIN);
    ASSERT_EQ(0, prgdecode_check(image.data(), static_cast<uint32_t>(image.size())));
    prg_header header;
    prgdecode_set_header(&header, image.data());

    BridgeProcess bridge(mock_.root_dir(), { "--port", "1-3" });
    EXPECT_EQ(entry("usb-1-3") + "/render/qel", bridge.await("ready: "));
    usctl_device dev{};
    usctl_handle handle = nullptr;
    ASSERT_EQ(0, usctl_init(&dev));
    ASSERT_EQ(0, usctl_open(&dev, &handle));
    std::atomic<uint32_t> progress{ 0 };
    testing::internal::CaptureStdout();
    const int result = usctl_fwup(&handle, image.data(), static_cast<uint32_t>(image.size()), &progress);
    const std::string trace = testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, result) << trace.substr(trace.size() > 2000 ? trace.size() - 2000 : 0);
    uint16_t version = 0;
    uint16_t build = 0;
    EXPECT_EQ(0, usctl_get_version(&handle, &version));
    EXPECT_EQ(0, usctl_get_build(&handle, &build));
    usctl_exit(&dev);
    EXPECT_EQ(prgdecode_get_version(&header), version);
    EXPECT_EQ(prgdecode_get_build(&header), build);
    mock_.with_device("1-3", [&](qel::Device &d) {
        EXPECT_TRUE(d.updated());
        EXPECT_EQ(image, d.installed());
    });
    EXPECT_EQ(0u, mock_.counts("1-3").unknown);
    EXPECT_EQ(0, bridge.stop());
}

struct RawCase {
    const char *name;
    Bytes request;
    int64_t error;      // in the reply
    bool reaches_wire;  // whether a URB is submitted for it
};

class UsbBridgeRequests : public UsbBridgeTest, public testing::WithParamInterface<RawCase> {};

TEST_P(UsbBridgeRequests, OnlyTheDevicesTwoRequestsReachTheWire)
{
    BridgeProcess bridge(mock_.root_dir(), { "--port", "1-1" });
    const std::string channel = bridge.await("ready: ");
    const unsigned before = mock_.counts("1-1").urbs;
    EXPECT_EQ(GetParam().error, one_exchange(channel, GetParam().request)) << bridge.output();
    EXPECT_EQ(0, bridge.stop());
    EXPECT_EQ(before + (GetParam().reaches_wire ? 1u : 0u), mock_.counts("1-1").urbs) << bridge.output();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsbBridgeRequests,
    testing::Values(
        RawCase{ "reply_read", request(1, 0, 30, 0, Bytes(4), 64), 0, true },
        RawCase{ "other_out_request", request(0, 4, 5, 0, Bytes(4), 0), EIO, false },
        RawCase{ "other_in_request", request(1, 0, 31, 0, Bytes(4), 64), EIO, false },
        RawCase{ "nonzero_value", request(1, 0, 30, 1, Bytes(4), 64), EIO, false },
        RawCase{ "longer_than_a_message", request(0, 65, 29, 0, Bytes(65), 0), EIO, false },
        RawCase{ "malformed", request(2, 0, 30, 0, Bytes(4), 64), EINVAL, false }),
    [](const testing::TestParamInfo<RawCase> &info) { return std::string(info.param.name); });


TEST_F(UsbBridgeTest, DevicesPluggedInLaterAreConsideredAndOneUnpluggedLosesItsEntry)
{
    BridgeProcess bridge(mock_.root_dir(), { "--id", "1209:0001" });
    EXPECT_EQ(entry("usb-1-1") + "/render/qel", bridge.await("ready: "));

    UsbfsMock::DeviceSetup foreign;
    foreign.port = "1-5";
    foreign.address = 6;
    foreign.product = 0x0002;
    mock_.add(foreign);
    mock_.add(qel_device("1-4", 5));
    const std::string channel = bridge.await("ready: ");
    EXPECT_EQ(entry("usb-1-4") + "/render/qel", channel);
    EXPECT_EQ(0, one_exchange(channel, request(1, 0, 30, 0, Bytes(4), 64)));
    EXPECT_EQ(0u, mock_.counts("1-5").urbs);
    EXPECT_FALSE(fs::exists(entry("usb-1-5")));

    mock_.unplug("1-1");
    EXPECT_EQ("the device was unplugged; " + entry("usb-1-1") + " removed", bridge.await("gone: "));
    EXPECT_FALSE(fs::exists(entry("usb-1-1")));
    EXPECT_EQ(0, one_exchange(channel, request(1, 0, 30, 0, Bytes(4), 64)));
    EXPECT_EQ(0, bridge.stop(SIGINT));
    EXPECT_FALSE(fs::exists(entry("usb-1-4")));
}

TEST_F(UsbBridgeTest, UnpluggedDuringATransferTheEntryGoesAndTheNextOpeningFails)
{
    UsbfsMock::DeviceSetup setup = qel_device("1-3", 4);
    setup.config.installed.clear();
    setup.config.version = 101;
    mock_.add(setup);
    const Bytes image = file_bytes(QEL_UPDATE_BIN);
    BridgeProcess bridge(mock_.root_dir(), { "--port", "1-3" });
    ASSERT_EQ(entry("usb-1-3") + "/render/qel", bridge.await("ready: "));

    usctl_device dev{};
    usctl_handle handle = nullptr;
    ASSERT_EQ(0, usctl_init(&dev));
    ASSERT_EQ(0, usctl_open(&dev, &handle));
    std::atomic<uint32_t> progress{ 0 };
    int result = 0;
    testing::internal::CaptureStdout();
    std::thread update([&] {
        result = usctl_fwup(&handle, image.data(), static_cast<uint32_t>(image.size()), &progress);
    });
    ASSERT_TRUE(eventually([&] { return progress > 4096; }));
    const auto unplugged = std::chrono::steady_clock::now();
    mock_.unplug("1-3");
    EXPECT_TRUE(eventually([&] { return !fs::exists(entry("usb-1-3")); }));
    const auto took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - unplugged).count();
    update.join();
    testing::internal::GetCapturedStdout();
    usctl_exit(&dev);
    std::cout << "entry gone " << took_ms << " ms after the unplug\n";
    EXPECT_NE(0, result);
    mock_.with_device("1-3", [](qel::Device &d) { EXPECT_FALSE(d.updated()); });

    usctl_device again{};
    ASSERT_EQ(0, usctl_init(&again));
    EXPECT_NE(0, usctl_open(&again, &handle));
    usctl_exit(&again);
    EXPECT_NE(std::string::npos, bridge.await("gone: ").find("usb-1-3 removed"));
    EXPECT_EQ(0, bridge.stop());
}

TEST_F(UsbBridgeTest, ATransferThatNeverCompletesTimesOutAndServingGoesOn)
{
    BridgeProcess bridge(mock_.root_dir(), { "--port", "1-1" });
    const std::string channel = bridge.await("ready: ");
    const Bytes message = request(0, 4, 29, 0, Bytes(4), 0);
    const unsigned before = mock_.counts("1-1").urbs;
    mock_.hold("1-1", true);
    EXPECT_EQ(ETIMEDOUT, one_exchange(channel, message));
    EXPECT_EQ(1u, mock_.counts("1-1").discarded);
    mock_.hold("1-1", false);
    EXPECT_EQ(0, one_exchange(channel, message));
    EXPECT_EQ(before + 2, mock_.counts("1-1").urbs);
    EXPECT_TRUE(fs::exists(channel));
    EXPECT_EQ(0, bridge.stop());
}

TEST_F(UsbBridgeTest, WithoutAccessToTheNodeTheMessageNamesTheUdevRule)
{
    UsbfsMock::DeviceSetup setup = qel_device("1-3", 4);
    setup.accessible = false;
    mock_.add(setup);
    UnprivilegedBridge bridge(mock_.root_dir(), { "--port", "1-3" });
    const std::string message = bridge.await("qel-usb-bridge: no access");
    EXPECT_NE(std::string::npos, message.find("1209:0001 at port 1-3")) << message;
    const std::string how = bridge.await("  qel-usb-bridge --udev-rule");
    EXPECT_NE(std::string::npos, how.find("/etc/udev/rules.d/70-qel-usb.rules")) << how;
    EXPECT_EQ(0, bridge.stop());
    EXPECT_FALSE(fs::exists(entry("usb-1-3")));
    EXPECT_EQ(0u, mock_.counts("1-3").urbs);
}

} // namespace
