// qel-usb-bridge through the real libusb, with no hardware: the bridge runs
// under umockdev's preload library against emulated USB audio devices, and
// this process, not preloaded, is its client through the device registry.
#include <algorithm>
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
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "channelwire.h"
#include "childprocess.h"
#include "prgdecode.h"
#include "testdriver.h"
#include "usbfsmock.h"
#include "usctl.h"
#include "usctlmsg.h"

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

void put_le(uint8_t *p, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A whole channel request: header, then the I/O control request's header
// and payload.
Bytes request(uint32_t direction, uint32_t length, uint8_t code, uint16_t value, const Bytes &payload,
              uint32_t out_length)
{
    Bytes b(QEL_CHANNEL_REQUEST_HEADER + QEL_CONTROL_HEADER + payload.size());
    std::memcpy(b.data(), QEL_CHANNEL_REQUEST_MAGIC, QEL_CHANNEL_MAGIC_SIZE);
    put_le(&b[QEL_CHANNEL_REQUEST_CODE_AT], QEL_CONTROL_CODE, 4);
    put_le(&b[QEL_CHANNEL_REQUEST_INPUT_AT], static_cast<uint32_t>(QEL_CONTROL_HEADER + payload.size()),
           4);
    put_le(&b[QEL_CHANNEL_REQUEST_OUTPUT_AT], out_length, 4);
    uint8_t *in = &b[QEL_CHANNEL_REQUEST_HEADER];
    put_le(in + QEL_CONTROL_DIRECTION_AT, direction, 4);
    put_le(in + QEL_CONTROL_LENGTH_AT, length, 4);
    put_le(in + QEL_CONTROL_FUNCTION_AT, QEL_CONTROL_FUNCTION_VENDOR_DEVICE, 2);
    put_le(in + QEL_CONTROL_VALUE_AT, value, 2);
    in[QEL_CONTROL_REQUEST_AT] = code;
    std::copy(payload.begin(), payload.end(), in + QEL_CONTROL_HEADER);
    return b;
}

// A four-byte message to the device.
Bytes message_request()
{
    return request(QEL_CONTROL_OUT, 4, QEL_REQUEST_MESSAGE, 0, Bytes(4), 0);
}

// A read of the device's whole reply; its four zero bytes make up the least
// input the driver takes.
Bytes reply_request()
{
    return request(QEL_CONTROL_IN, 0, QEL_REQUEST_REPLY, 0, Bytes(4), QEL_MESSAGE_SIZE);
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
    if (reply.size() < QEL_CHANNEL_REPLY_HEADER
        || std::memcmp(reply.data(), QEL_CHANNEL_REPLY_MAGIC, QEL_CHANNEL_MAGIC_SIZE) != 0)
        return -1;
    return get_le32(reply.data() + QEL_CHANNEL_REPLY_ERROR_AT);
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
    const Bytes message = message_request();
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
        RawCase{ "reply_read", reply_request(), 0, true },
        RawCase{ "other_out_request", request(QEL_CONTROL_OUT, 4, 5, 0, Bytes(4), 0), EIO, false },
        RawCase{ "other_in_request",
                 request(QEL_CONTROL_IN, 0, QEL_REQUEST_REPLY + 1, 0, Bytes(4), QEL_MESSAGE_SIZE), EIO,
                 false },
        RawCase{ "nonzero_value",
                 request(QEL_CONTROL_IN, 0, QEL_REQUEST_REPLY, 1, Bytes(4), QEL_MESSAGE_SIZE), EIO, false },
        RawCase{ "longer_than_a_message",
                 request(QEL_CONTROL_OUT, QEL_MESSAGE_SIZE + 1, QEL_REQUEST_MESSAGE, 0,
                         Bytes(QEL_MESSAGE_SIZE + 1), 0),
                 EIO, false },
        RawCase{ "malformed", request(2, 0, QEL_REQUEST_REPLY, 0, Bytes(4), QEL_MESSAGE_SIZE), EINVAL,
                 false }),
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
    EXPECT_EQ(0, one_exchange(channel, reply_request()));
    EXPECT_EQ(0u, mock_.counts("1-5").urbs);
    EXPECT_FALSE(fs::exists(entry("usb-1-5")));

    mock_.unplug("1-1");
    EXPECT_EQ("the device was unplugged; " + entry("usb-1-1") + " removed", bridge.await("gone: "));
    EXPECT_FALSE(fs::exists(entry("usb-1-1")));
    EXPECT_EQ(0, one_exchange(channel, reply_request()));
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
    const Bytes message = message_request();
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
    // Its own name, below 73 for uaccess: the packaged rule's name would replace that rule.
    EXPECT_NE(std::string::npos, how.find("/etc/udev/rules.d/71-qel-usb-local.rules")) << how;
    EXPECT_EQ(0, bridge.stop());
    EXPECT_FALSE(fs::exists(entry("usb-1-3")));
    EXPECT_EQ(0u, mock_.counts("1-3").urbs);
}

// A test process holding a device's update lock, as an updater does
// (fcntl write lock on the whole of <device>/update.lock).
class HeldUpdateLock {
public:
    explicit HeldUpdateLock(const std::string &device_dir)
    {
        fd_ = open((device_dir + "/update.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fd_ < 0 || fcntl(fd_, F_SETLK, &lock) != 0)
            ADD_FAILURE() << "cannot take the update lock in " << device_dir << ": " << std::strerror(errno);
    }
    ~HeldUpdateLock() { release(); }
    void release()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// The bridge as the launcher starts it: its standard input a pipe whose
// write end this test holds (--stop-with-stdin).
class PipedBridge : public ChildProcess {
public:
    PipedBridge(const std::string &umockdev_dir, const std::string &fifo, std::vector<std::string> args)
        : ChildProcess("/bin/sh", with_fifo(fifo, args), UsbfsMock::child_env(umockdev_dir), true)
    {
    }

    // Made before the bridge starts; the write end stays here, never inherited.
    static int make_fifo(const std::string &fifo)
    {
        if (mkfifo(fifo.c_str(), 0600) != 0)
            return -1;
        const int both = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        const int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        close(both);
        return writer;
    }

private:
    static std::vector<std::string> with_fifo(const std::string &fifo, std::vector<std::string> args)
    {
        args.insert(args.begin(), { "-c", "exec \"$0\" --stop-with-stdin \"$@\" < " + fifo,
                                    QEL_USB_BRIDGE_PATH });
        return args;
    }
};

// Whether the program printed a line starting so (in time).
bool said(ChildProcess &program, const std::string &prefix)
{
    return program.await(prefix).rfind("<no line", 0) != 0;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// How the bridge is asked to stop: a signal, or the end of its standard input.
struct StopCase {
    const char *name;
    int signal;   // 0: the pipe on standard input is closed
};

class UsbBridgeStops : public UsbBridgeTest, public testing::WithParamInterface<StopCase> {
protected:
    void SetUp() override
    {
        UsbBridgeTest::SetUp();
        fifo_ = registry_.base() + "/bridge-stdin";
        writer_ = PipedBridge::make_fifo(fifo_);
        ASSERT_LE(0, writer_) << std::strerror(errno);
    }
    void TearDown() override
    {
        if (writer_ >= 0)
            close(writer_);
    }
    void ask_to_stop(ChildProcess &bridge)
    {
        if (GetParam().signal) {
            kill(bridge.pid(), GetParam().signal);
        } else {
            close(writer_);
            writer_ = -1;
        }
    }

    std::string fifo_;
    int writer_ = -1;
};

// Asked to stop while a device's update lock is held, the bridge says it
// waits, serves every request whole (a signal more changes nothing), and
// stops once the lock is let go; asked without it, it stops at once.
TEST_P(UsbBridgeStops, WaitsForAnUpdateThenStops)
{
    PipedBridge bridge(mock_.root_dir(), fifo_, { "--port", "1-1" });
    const std::string channel = bridge.await("ready: ");
    ASSERT_EQ(entry("usb-1-1") + "/render/qel", channel);
    HeldUpdateLock lock(entry("usb-1-1"));
    ask_to_stop(bridge);
    EXPECT_EQ(entry("usb-1-1") + " to finish (at most 10 minutes)",
              bridge.await("qel-usb-bridge: asked to stop; waiting for the update of "));
    const Bytes reply_read = reply_request();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(0, one_exchange(channel, reply_read)) << i;
        if (i == 10 && GetParam().signal)
            kill(bridge.pid(), GetParam().signal);
    }
    EXPECT_TRUE(fs::exists(channel));
    // A bridge that stopped anyway would have ended by now.
    usleep(300 * 1000);
    EXPECT_EQ(0, kill(bridge.pid(), 0));
    lock.release();
    EXPECT_EQ(0, bridge.wait()) << bridge.output();
    EXPECT_FALSE(fs::exists(entry("usb-1-1")));
    EXPECT_EQ(1u, count(bridge.output(), "waiting for the update")) << bridge.output();
}

TEST_P(UsbBridgeStops, WithoutAnUpdateStopsAtOnce)
{
    PipedBridge bridge(mock_.root_dir(), fifo_, { "--port", "1-1" });
    ASSERT_EQ(entry("usb-1-1") + "/render/qel", bridge.await("ready: "));
    ask_to_stop(bridge);
    EXPECT_EQ(0, bridge.wait()) << bridge.output();
    EXPECT_FALSE(fs::exists(entry("usb-1-1")));
    EXPECT_EQ(std::string::npos, bridge.output().find("waiting")) << bridge.output();
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbBridgeStops,
                         testing::Values(StopCase{ "sigterm", SIGTERM }, StopCase{ "sigint", SIGINT },
                                         StopCase{ "sighup", SIGHUP }, StopCase{ "sigquit", SIGQUIT },
                                         StopCase{ "stdin_end", 0 }),
                         [](const testing::TestParamInfo<StopCase> &info) {
                             return std::string(info.param.name);
                         });

// The whole image, with the bridge asked to stop (twice) mid-transfer by
// the end of its standard input and a signal: the transfer is never cut
// short, the image is installed once, and the bridge ends after the update.
TEST_F(UsbBridgeTest, AStopMidUpdateWaitsForTheWholeImage)
{
    UsbfsMock::DeviceSetup setup = qel_device("1-3", 4);
    setup.config.installed.clear();
    setup.config.version = 101;
    setup.config.build = 30;
    mock_.add(setup);
    const Bytes image = file_bytes(QEL_UPDATE_BIN);
    const std::string fifo = registry_.base() + "/bridge-stdin";
    int writer = PipedBridge::make_fifo(fifo);
    ASSERT_LE(0, writer);
    PipedBridge bridge(mock_.root_dir(), fifo, { "--port", "1-3" });
    ASSERT_EQ(entry("usb-1-3") + "/render/qel", bridge.await("ready: "));

    HeldUpdateLock lock(entry("usb-1-3"));
    usctl_device dev{};
    usctl_handle handle = nullptr;
    ASSERT_EQ(0, usctl_init(&dev));
    ASSERT_EQ(0, usctl_open(&dev, &handle));
    std::atomic<uint32_t> progress{ 0 };
    int result = -1;
    testing::internal::CaptureStdout();
    std::thread update([&] {
        result = usctl_fwup(&handle, image.data(), static_cast<uint32_t>(image.size()), &progress);
    });
    EXPECT_TRUE(eventually([&] { return progress > 1024; }));
    close(writer);   // the window has ended
    kill(bridge.pid(), SIGTERM);
    update.join();
    const std::string trace = testing::internal::GetCapturedStdout();
    usctl_exit(&dev);
    EXPECT_EQ(0, result) << trace.substr(trace.size() > 2000 ? trace.size() - 2000 : 0);
    EXPECT_TRUE(said(bridge, "qel-usb-bridge: asked to stop; waiting for the update")) << bridge.output();
    lock.release();
    EXPECT_EQ(0, bridge.wait()) << bridge.output();

    mock_.with_device("1-3", [&](qel::Device &d) {
        EXPECT_TRUE(d.updated());
        EXPECT_EQ(image, d.installed());
        // One transfer started, none begun again after a cut.
        unsigned starts = 0;
        for (const qel::LogEntry &e : d.log())
            starts += e.out && e.request == QEL_REQUEST_MESSAGE && !e.data.empty()
                      && e.data[0] == usctl_detail::kTagStart;
        EXPECT_EQ(1u, starts);
    });
    EXPECT_EQ(0u, mock_.counts("1-3").discarded);
    EXPECT_FALSE(fs::exists(entry("usb-1-3")));
}

// A bridge started while the session's bridge is stopping (its window closed
// mid-update) waits for it and then serves; one started while it serves
// leaves at once, as before.
TEST_F(UsbBridgeTest, ASecondBridgeWaitsForAStoppingOneThenServes)
{
    BridgeProcess first(mock_.root_dir(), { "--port", "1-1" });
    ASSERT_EQ(entry("usb-1-1") + "/render/qel", first.await("ready: "));
    {
        BridgeProcess refused(mock_.root_dir(), { "--port", "1-1" });
        EXPECT_EQ(3, refused.wait()) << refused.output();
    }
    HeldUpdateLock lock(entry("usb-1-1"));
    kill(first.pid(), SIGTERM);
    EXPECT_TRUE(said(first, "qel-usb-bridge: asked to stop; waiting for the update")) << first.output();

    BridgeProcess second(mock_.root_dir(), { "--port", "1-1" });
    EXPECT_TRUE(said(second, "qel-usb-bridge: the bridge that served this session is stopping")) << second.output();
    usleep(300 * 1000);
    EXPECT_EQ(0, kill(second.pid(), 0)) << second.output();
    EXPECT_EQ(std::string::npos, second.output().find("ready:"));
    EXPECT_EQ(0, one_exchange(entry("usb-1-1") + "/render/qel", reply_request()));

    lock.release();
    EXPECT_EQ(0, first.wait()) << first.output();
    EXPECT_EQ(entry("usb-1-1") + "/render/qel", second.await("ready: ")) << second.output();
    EXPECT_EQ(0, one_exchange(entry("usb-1-1") + "/render/qel", reply_request()));
    EXPECT_EQ(0, second.stop());
}

// Entries left by a killed bridge (whole, or still under their dot-name)
// are removed by the next one, which then serves the device; another
// program's entry and whatever a link points at are left alone.
TEST_F(UsbBridgeTest, EntriesOfAKilledBridgeAreRemovedAtTheStart)
{
    {
        BridgeProcess killed(mock_.root_dir(), { "--port", "1-1" });
        ASSERT_EQ(entry("usb-1-1") + "/render/qel", killed.await("ready: "));
        EXPECT_EQ(128 + SIGKILL, killed.stop(SIGKILL));
    }
    ASSERT_TRUE(fs::exists(entry("usb-1-1")));
    fs::create_directories(entry(".usb-1-7/render"));
    const std::string other = registry_.add_device("devsim-desk", "qel", { "global" });
    fs::create_directories(registry_.base() + "/elsewhere/keep");
    fs::create_directory_symlink(registry_.base() + "/elsewhere", entry("usb-1-9"));

    BridgeProcess bridge(mock_.root_dir(), { "--port", "1-1" });
    EXPECT_EQ(entry("usb-1-1") + "/render/qel", bridge.await("ready: ")) << bridge.output();
    EXPECT_FALSE(fs::exists(entry(".usb-1-7")));
    EXPECT_FALSE(fs::exists(entry("usb-1-9")));
    EXPECT_TRUE(fs::exists(registry_.base() + "/elsewhere/keep"));
    EXPECT_TRUE(fs::exists(other + "/render/global"));
    EXPECT_NE(std::string::npos, bridge.output().find("removed " + entry("usb-1-1") + ", left by a bridge"))
        << bridge.output();
    EXPECT_EQ(0, one_exchange(entry("usb-1-1") + "/render/qel", reply_request()));
    EXPECT_EQ(0, bridge.stop());
    EXPECT_TRUE(fs::exists(other));
}

// The sockets a process holds: under umockdev an open device node is one
// (a connection to the testbed), beside the bridge's listening sockets and
// libusb's hot-plug monitor.
int sockets_of(pid_t pid)
{
    int n = 0;
    std::error_code ec;
    for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        n += fs::read_symlink(fd.path(), ec).string().rfind("socket:", 0) == 0;
    return n;
}

// The device is open only while a request is carried out or an update holds
// its lock: idle, the bridge keeps no access that a user switch is to take away.
TEST_F(UsbBridgeTest, TheDeviceIsOpenOnlyForARequestOrAnUpdate)
{
    BridgeProcess bridge(mock_.root_dir(), { "--port", "1-1" });
    const std::string channel = bridge.await("ready: ");
    const unsigned opened_at_start = mock_.counts("1-1").opened;
    EXPECT_EQ(1u, opened_at_start) << "opened once at the start, to learn about access";
    const int idle = sockets_of(bridge.pid());
    const Bytes reply_read = reply_request();
    EXPECT_EQ(0, one_exchange(channel, reply_read));
    EXPECT_EQ(0, one_exchange(channel, reply_read));
    EXPECT_EQ(opened_at_start + 2, mock_.counts("1-1").opened) << "opened for each request";
    EXPECT_EQ(idle, sockets_of(bridge.pid())) << "closed after each request";

    {
        HeldUpdateLock lock(entry("usb-1-1"));
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(0, one_exchange(channel, reply_read));
        EXPECT_EQ(opened_at_start + 3, mock_.counts("1-1").opened) << "opened once for the whole update";
        EXPECT_EQ(idle + 1, sockets_of(bridge.pid())) << "kept open while the update runs";
    }
    // Looked at every 2 s while kept open: closed once the update has ended.
    EXPECT_TRUE(eventually([&] { return sockets_of(bridge.pid()) == idle; }));
    EXPECT_EQ(0, bridge.stop());
}

// USB strings come from the device: shown, never obeyed by the terminal.
TEST_F(UsbBridgeTest, ListEscapesControlCharactersAndBytesThatAreNotUtf8)
{
    UsbfsMock::DeviceSetup odd = qel_device("1-3", 4);
    odd.manufacturer = "Evil\x1b]0;owned\x07" "Co";
    odd.product_name = "Caf\xc3\xa9 \xff\xfe\r";
    mock_.add(odd);
    BridgeProcess bridge(mock_.root_dir(), { "--list" });
    EXPECT_EQ(0, bridge.wait()) << bridge.output();
    EXPECT_NE(std::string::npos,
              bridge.output().find("port 1-3 ID 1209:0001 Evil\\x1b]0;owned\\x07" "Co / Caf\xc3\xa9 \\xff\\xfe\\x0d\n"))
        << bridge.output();
    EXPECT_EQ(std::string::npos, bridge.output().find('\x1b'));
    EXPECT_EQ(std::string::npos, bridge.output().find('\xff'));
}

// Another user may make /tmp/qel-devices-<uid> first; the bridge says whose
// it is and what to do, and serves nothing there.
TEST_F(UsbBridgeTest, ARegistryThatIsNotTheUsersIsNamed)
{
    fs::create_directories(registry_.base() + "/elsewhere");
    fs::create_directory_symlink(registry_.base() + "/elsewhere", registry_.root());
    BridgeProcess bridge(mock_.root_dir(), { "--port", "1-1" });
    EXPECT_EQ(1, bridge.wait());
    EXPECT_NE(std::string::npos,
              bridge.output().find("the device registry " + registry_.root()
                                   + " is not yours; remove it or set XDG_RUNTIME_DIR"))
        << bridge.output();
    EXPECT_FALSE(fs::exists(registry_.base() + "/elsewhere/usb-1-1"));
}

#ifdef QEL_FWTOOL_PATH
// End to end: the real qel-fwtool updates the device through the bridge as
// the launcher starts it, and the window (the holder of the bridge's
// standard input) ends mid-update. qel-fwtool holds the update lock; the
// bridge waits for the whole image, then stops by itself.
TEST_F(UsbBridgeTest, TheCommandLineUpdaterFinishesAfterTheWindowHasEnded)
{
    UsbfsMock::DeviceSetup setup = qel_device("1-3", 4);
    setup.config.installed.clear();
    setup.config.version = 101;
    setup.config.build = 30;
    mock_.add(setup);
    const std::string fifo = registry_.base() + "/bridge-stdin";
    const int writer = PipedBridge::make_fifo(fifo);
    ASSERT_LE(0, writer);
    PipedBridge bridge(mock_.root_dir(), fifo, { "--port", "1-3" });
    ASSERT_EQ(entry("usb-1-3") + "/render/qel", bridge.await("ready: "));

    ChildProcess fwtool(QEL_FWTOOL_PATH, { "update", "--yes", "--device", "usb-1-3" }, {}, true);
    EXPECT_TRUE(said(fwtool, "progress: 1")) << fwtool.output();
    close(writer);   // the window has ended
    EXPECT_TRUE(said(bridge, "qel-usb-bridge: asked to stop; waiting for the update")) << bridge.output();
    EXPECT_EQ(0, fwtool.wait()) << fwtool.output();
    EXPECT_EQ(0, bridge.wait()) << bridge.output();

    const Bytes image = file_bytes(QEL_UPDATE_BIN);
    mock_.with_device("1-3", [&](qel::Device &d) {
        EXPECT_TRUE(d.updated());
        EXPECT_EQ(image, d.installed());
        unsigned starts = 0;
        for (const qel::LogEntry &e : d.log())
            starts += e.out && e.request == QEL_REQUEST_MESSAGE && !e.data.empty()
                      && e.data[0] == usctl_detail::kTagStart;
        EXPECT_EQ(1u, starts) << "one transfer, never begun again";
    });
    EXPECT_EQ(0u, mock_.counts("1-3").discarded);
    EXPECT_FALSE(fs::exists(entry("usb-1-3")));
}
#endif

} // namespace
