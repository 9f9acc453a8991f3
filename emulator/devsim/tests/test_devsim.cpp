// qel-devsim as its users meet it: a program that registers a device, answers
// the channel as a driver does and leaves no trace when stopped.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "channelwire.h"
#include "devsimclient.h"
#include "prgdecode.h"
#include "testdriver.h"
#include "usbdevs.h"
#include "usctl.h"
#include "usmsg.h"
#include "virtualclock.h"

namespace fs = std::filesystem;

namespace {

class DevsimTest : public testing::Test {
protected:
    std::string device_dir(const std::string &instance) { return reg.root() + "/" + instance; }
    TestRegistry reg;
};

TEST_F(DevsimTest, RegistersAndRemovesItsEntry)
{
    for (int sig : { SIGTERM, SIGINT }) {
        const std::string log = reg.base() + "/requests.log";
        Devsim sim({ "--instance", "unit", "--log", log });
        const std::string dir = device_dir("unit");
        ASSERT_EQ(dir + "/render/qel", sim.await("ready: "));
        EXPECT_EQ("qel\n", slurp(dir + "/service"));
        EXPECT_TRUE(fs::is_regular_file(dir + "/render/global"));
        EXPECT_TRUE(is_socket(dir + "/render/qel"));
        EXPECT_EQ(1, std::distance(fs::directory_iterator(reg.root()), fs::directory_iterator()))
            << "nothing but the device is left in the registry";

        usbdevs_context ctx;
        usbdevs_init(&ctx);
        ASSERT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
        EXPECT_EQ(dir + "/render/global", ctx.dev[0].path);
        uint8_t reply[QEL_MESSAGE_SIZE];
        EXPECT_EQ(0, usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, sizeof reply, reply));

        EXPECT_EQ(0, sim.stop(sig));
        EXPECT_FALSE(fs::exists(dir)) << sig;
        EXPECT_NE(std::string::npos, sim.output().find("\nstopped\n"));
        EXPECT_NE(std::string::npos,
                  slurp(log).find("IN request " + std::to_string(QEL_REQUEST_REPLY)));
    }
}

// Asked to stop (any of the four signals) while somebody holds the device's
// update lock, the device goes on answering until the lock is let go, then
// stops; the lock is only ever looked at, never taken.
TEST_F(DevsimTest, AStopWaitsForTheUpdateLockToBeLetGo)
{
    for (int sig : { SIGTERM, SIGINT, SIGHUP, SIGQUIT }) {
        Devsim sim({ "--instance", "busy" });
        const std::string dir = device_dir("busy");
        ASSERT_EQ(dir + "/render/qel", sim.await("ready: "));
        const int fd = open((dir + "/update.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        ASSERT_EQ(0, fcntl(fd, F_SETLK, &lock));
        kill(sim.pid(), sig);
        EXPECT_EQ(dir + " to finish (at most 10 minutes)",
                  sim.await("qel-devsim: asked to stop; waiting for the update of ")) << sig;
        usbdevs_context ctx;
        usbdevs_init(&ctx);
        ASSERT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
        uint8_t reply[QEL_MESSAGE_SIZE];
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(0, usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, sizeof reply, reply)) << sig;
        EXPECT_EQ(0, kill(sim.pid(), 0)) << sig;
        close(fd);
        EXPECT_EQ(0, sim.wait()) << sig;
        EXPECT_FALSE(fs::exists(dir)) << "update.lock goes with the entry";
        EXPECT_NE(std::string::npos, sim.output().find("\nstopped\n"));
    }
}

TEST_F(DevsimTest, RunsBesideOthersButNotUnderTheSameName)
{
    Devsim a({ "--instance", "a" });
    Devsim b({ "--instance", "b", "--service", "other" });
    ASSERT_EQ(device_dir("a") + "/render/qel", a.await("ready: "));
    ASSERT_EQ(device_dir("b") + "/render/qel", b.await("ready: "));
    EXPECT_EQ("other\n", slurp(device_dir("b") + "/service"));

    Devsim again({ "--instance", "a" });
    EXPECT_EQ(1, again.wait());
    EXPECT_TRUE(is_socket(device_dir("a") + "/render/qel"));
    EXPECT_FALSE(fs::exists(reg.root() + "/.a"));
    Bytes ok = round_trip(device_dir("a") + "/render/qel", reply_read(QEL_MESSAGE_SIZE));
    EXPECT_EQ(size_t(QEL_CHANNEL_REPLY_HEADER + QEL_MESSAGE_SIZE), ok.size());
}

TEST_F(DevsimTest, RefusesBadOptions)
{
    for (const std::vector<std::string> &args :
         { std::vector<std::string>{ "--no-such-option" }, { "--fault", "no-such-fault" },
           { "--version", "70000" }, { "--instance", ".hidden" }, { "--interface", "qel" },
           { "--build" } }) {
        Devsim sim(args);
        EXPECT_EQ(2, sim.wait()) << args[0];
    }
    Devsim missing({ "--installed", reg.base() + "/none.bin" });
    EXPECT_EQ(1, missing.wait());
    EXPECT_FALSE(fs::exists(reg.root()));
}

// The registry is made private, and one the client would not trust is
// refused: a device there would never be found, and anyone who can write
// there could put a device of their own beside it.
TEST_F(DevsimTest, MakesAPrivateRegistryAndRefusesOneOthersCouldWrite)
{
    {
        Devsim sim({ "--instance", "own" });
        ASSERT_EQ(device_dir("own") + "/render/qel", sim.await("ready: "));
        struct stat st;
        ASSERT_EQ(0, lstat(reg.root().c_str(), &st));
        EXPECT_EQ(0700u, st.st_mode & 07777);
        for (const char *entry : { "", "/render", "/service", "/render/global" }) {
            ASSERT_EQ(0, stat((device_dir("own") + entry).c_str(), &st)) << entry;
            EXPECT_EQ(0u, st.st_mode & 022) << entry;
        }
        EXPECT_EQ(0, sim.stop());
    }

    const passwd *nobody = getpwnam("nobody");
    const bool can_give_away = geteuid() == 0 && nobody && nobody->pw_uid != 0;
    if (!can_give_away)
        std::printf("[ SKIPPED  ] a registry of another user: needs root and a user 'nobody'\n");
    enum { kWritable, kLink, kOtherOwner };
    for (int change : { kWritable, kLink, kOtherOwner }) {
        fs::remove_all(reg.root());
        if (change == kLink) {
            fs::create_directory(reg.base() + "/elsewhere");
            fs::create_directory_symlink(reg.base() + "/elsewhere", reg.root());
        } else {
            ASSERT_EQ(0, mkdir(reg.root().c_str(), change == kWritable ? 0777 : 0700));
            ASSERT_EQ(0, chmod(reg.root().c_str(), change == kWritable ? 0777 : 0700));
            if (change == kOtherOwner) {
                if (!can_give_away)
                    continue;
                ASSERT_EQ(0, chown(reg.root().c_str(), nobody->pw_uid, nobody->pw_gid));
            }
        }
        Devsim sim({ "--instance", "planted" }, true);
        // Awaited with a deadline, so that a program serving after all fails
        // the test instead of hanging it. The line comes before the exit, so
        // only then is the exit waited for.
        // Its own registry with a bad mode can be fixed in place; another
        // user's, or a link, cannot.
        const std::string refusal = sim.await("qel-devsim: the device registry ");
        const std::string wanted = change == kWritable
                                       ? "is not safe to use"
                                       : "is not yours; remove it or set XDG_RUNTIME_DIR";
        if (refusal.find(wanted) != std::string::npos) {
            EXPECT_EQ(1, sim.wait()) << change;
        } else {
            sim.stop(SIGKILL);
            ADD_FAILURE() << change << ": " << refusal;
        }
        EXPECT_EQ(std::string::npos, sim.output().find("ready:")) << change;
        EXPECT_FALSE(fs::exists(device_dir("planted"))) << change;
        EXPECT_FALSE(fs::exists(reg.base() + "/elsewhere/planted")) << change;
    }
}

struct RawCase {
    const char *name;
    Bytes request;
    uint32_t error;
    uint32_t returned;
};

class DevsimRequests : public testing::TestWithParam<RawCase> {
protected:
    static void SetUpTestSuite()
    {
        reg_ = new TestRegistry;
        sim_ = new Devsim({ "--instance", "raw" });
        path_ = sim_->await("ready: ");
    }
    static void TearDownTestSuite()
    {
        delete sim_;
        delete reg_;
    }
    static TestRegistry *reg_;
    static Devsim *sim_;
    static std::string path_;
};

TestRegistry *DevsimRequests::reg_;
Devsim *DevsimRequests::sim_;
std::string DevsimRequests::path_;

TEST_P(DevsimRequests, AnswersOnceAndCloses)
{
    const RawCase &c = GetParam();
    const Bytes reply = round_trip(path_, c.request);
    const Bytes head = channel_reply(c.error, c.returned);
    ASSERT_EQ(head.size() + c.returned, reply.size());
    EXPECT_EQ(head, Bytes(reply.begin(), reply.begin() + head.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, DevsimRequests,
    testing::Values(
        RawCase{ "message", framed(io(QEL_CONTROL_OUT, 4, QEL_REQUEST_MESSAGE, info_request())), 0,
                 0 },
        RawCase{ "reply", reply_read(QEL_MESSAGE_SIZE), 0, QEL_MESSAGE_SIZE },
        RawCase{ "reply_shorter", reply_read(10), 0, 10 },
        RawCase{ "reply_longer_than_supplied", reply_read(100), 0, QEL_MESSAGE_SIZE },
        RawCase{ "wrong_magic", framed(message(1), "QELX"), EINVAL, 0 },
        RawCase{ "wrong_magic_alone", Bytes(QEL_CHANNEL_REQUEST_HEADER, 'x'), EINVAL, 0 },
        RawCase{ "wrong_code", framed(message(1), QEL_CHANNEL_REQUEST_MAGIC, QEL_CONTROL_CODE + 4),
                 EINVAL, 0 },
        RawCase{ "input_too_short", framed(Bytes(QEL_CONTROL_MIN_INPUT - 1)), EINVAL, 0 },
        RawCase{ "input_too_long",
                 framed(Bytes(), QEL_CHANNEL_REQUEST_MAGIC, QEL_CONTROL_CODE, 0,
                        QEL_CHANNEL_MAX_INPUT + 1),
                 EINVAL, 0 },
        RawCase{ "output_too_long", reply_read(QEL_CHANNEL_MAX_OUTPUT + 1), EINVAL, 0 },
        RawCase{ "direction_2", framed(io(2, 1, QEL_REQUEST_MESSAGE, least_payload())), EINVAL, 0 },
        RawCase{ "other_function",
                 framed(io(QEL_CONTROL_OUT, 1, QEL_REQUEST_MESSAGE, least_payload(),
                           QEL_CONTROL_FUNCTION_VENDOR_DEVICE - 1)),
                 EINVAL, 0 },
        RawCase{ "empty_payload", framed(message(0)), EINVAL, 0 },
        RawCase{ "payload_past_input", framed(message(uint32_t(least_payload().size()) + 1)), EINVAL,
                 0 },
        RawCase{ "unknown_out_request", framed(io(QEL_CONTROL_OUT, 1, 5, least_payload())), EIO, 0 },
        RawCase{ "unknown_in_request",
                 framed(io(QEL_CONTROL_IN, 0, QEL_REQUEST_REPLY + 1, least_payload()),
                        QEL_CHANNEL_REQUEST_MAGIC, QEL_CONTROL_CODE, QEL_MESSAGE_SIZE),
                 EIO, 0 }),
    [](const testing::TestParamInfo<RawCase> &info) { return info.param.name; });

// The image the updater carries, or a stand-in of the same size.
Bytes update_image()
{
    std::ifstream f(QEL_UPDATE_BIN, std::ios::binary);
    Bytes image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (image.size() >= PRG_MIN_IMAGE_SIZE)
        return image;

    const uint32_t size = 268320;
    Bytes plain(size);
    const char product[] = "Qel";
    std::memcpy(plain.data(), product, sizeof product);
    const uint8_t fields[] = { 0x00, 0x67, 0x00, 0x20, 0x07, 0xE2, 6, 1 };   // 1.03, build 32
    std::memcpy(plain.data() + 8, fields, sizeof fields);
    uint32_t sum = 0;
    for (uint32_t i = 32; i < size; ++i) {
        plain[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
        if (i < size - 4)
            sum += plain[i];
    }
    for (int i = 0; i < 4; ++i) {
        plain[16 + i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
        plain[20 + i] = static_cast<uint8_t>(size >> (24 - 8 * i));
    }
    image = plain;
    prgdecode_encode(image.data() + 32, plain.data() + 32, static_cast<int>(size - 32));
    return image;
}

TEST_F(DevsimTest, UpdaterStackInstallsAnImage)
{
    const Bytes image = update_image();
    ASSERT_EQ(0, prgdecode_check(image.data(), static_cast<uint32_t>(image.size())));
    prg_header header;
    prgdecode_set_header(&header, image.data());

    Devsim sim({ "--instance", "target", "--version", "101", "--build", "30", "--busy-us", "2000" });
    ASSERT_NE(std::string::npos, sim.await("ready: ").find("/target/render/qel"));

    usctl_device dev{};   // the next device number starts at 0
    usctl_handle handle = nullptr;
    ASSERT_EQ(0, usctl_init(&dev));
    ASSERT_EQ(0, usctl_open(&dev, &handle));
    uint16_t version = 0;
    ASSERT_EQ(0, usctl_get_version(&handle, &version));
    EXPECT_EQ(101, version);

    std::atomic<uint32_t> progress{ 0 };
    testing::internal::CaptureStdout();
    const int result = usctl_fwup(&handle, image.data(), static_cast<uint32_t>(image.size()), &progress);
    const std::string trace = testing::internal::GetCapturedStdout();
    ASSERT_EQ(0, result) << trace.substr(trace.size() > 2000 ? trace.size() - 2000 : 0);
    EXPECT_EQ(image.size(), progress.load());

    uint16_t build = 0;
    char product[16] = {};
    uint8_t product_length = 0;
    uint32_t checksum = 0;
    EXPECT_EQ(0, usctl_get_version(&handle, &version));
    EXPECT_EQ(0, usctl_get_build(&handle, &build));
    EXPECT_EQ(0, usctl_get_product(&handle, product, sizeof product - 1, &product_length));
    EXPECT_EQ(0, usctl_get_checksum(&handle, static_cast<uint32_t>(prgdecode_get_check_size(&header)),
                                    &checksum));
    EXPECT_EQ(prgdecode_get_version(&header), version);
    EXPECT_EQ(prgdecode_get_build(&header), build);
    char expected_product[PRG_PRODUCT_SIZE + 1];
    prgdecode_get_product(&header, expected_product, sizeof expected_product);
    EXPECT_STREQ(expected_product, product);
    EXPECT_EQ(prgdecode_get_checksum(&header), checksum);
    usctl_exit(&dev);

    EXPECT_NE("", sim.await("installed: "));
    EXPECT_EQ(0, sim.stop());
}

TEST_F(DevsimTest, DeviceThatGoesAwayLeavesTheRegistry)
{
    const Bytes image = update_image();
    // The layers above poll a missing device for seconds; their waits need not be real here.
    VirtualClock clock;
    Devsim sim({ "--instance", "fleeting", "--fault", "vanish=1000" });
    sim.await("ready: ");
    usctl_device dev{};   // the next device number starts at 0
    usctl_handle handle = nullptr;
    usctl_init(&dev);
    ASSERT_EQ(0, usctl_open(&dev, &handle));

    testing::internal::CaptureStdout();
    const int result = usctl_fwup(&handle, image.data(), static_cast<uint32_t>(image.size()), nullptr);
    const std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, result);
    EXPECT_NE(std::string::npos, trace.find("ERROR : 200\n")) << "a later request failed at the opening";
    EXPECT_NE("", sim.await("gone: "));
    EXPECT_FALSE(fs::exists(device_dir("fleeting")));
    EXPECT_EQ(0, sim.stop());
}

} // namespace
