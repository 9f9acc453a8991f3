// qel-devsim playing back a recorded trace, as a test that replays a session
// meets it: the device layer gets the recorded answers, a request that
// strays from the recording is told so and named, and the device leaves
// where the recording lost it.
//
// fixtures/small.jsonl records two devices: qel-usb-1 answers two identity
// reads (version 1.05, build 40: six requests), qel-usb-2 a ready poll, then
// a message refused as busy, after which it could no longer be opened.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devsimclient.h"
#include "usbdevs.h"
#include "usctl.h"

namespace fs = std::filesystem;

namespace {

const std::string k_small = QEL_DEVSIM_FIXTURES "/small.jsonl";

// The recorded ready poll's reply: the ready flag, then zeros.
Bytes ready_reply()
{
    Bytes b(QEL_MESSAGE_SIZE);
    b[0] = 0xa1;
    b[1] = 0x02;
    b[2] = 0x01;
    return b;
}

Bytes message_of(const Bytes &payload)
{
    return framed(io(QEL_CONTROL_OUT, static_cast<uint32_t>(payload.size()), QEL_REQUEST_MESSAGE,
                     payload));
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class DevsimReplay : public testing::Test {
protected:
    std::string device_dir(const std::string &instance) { return reg.root() + "/" + instance; }
    TestRegistry reg;
};

TEST_F(DevsimReplay, TheDeviceLayerGetsTheRecordedIdentity)
{
    const std::string log = reg.base() + "/requests.log";
    Devsim sim({ "--instance", "played", "--replay", k_small, "--log", log });
    EXPECT_EQ(k_small + ", device qel-usb-1, 6 requests", sim.await("  replaying: "));
    ASSERT_EQ(device_dir("played") + "/render/qel", sim.await("ready: "));

    usctl_device dev{};
    usctl_handle handle = nullptr;
    ASSERT_EQ(0, usctl_init(&dev));
    ASSERT_EQ(0, usctl_open(&dev, &handle));
    uint16_t version = 0;
    uint16_t build = 0;
    EXPECT_EQ(0, usctl_get_version(&handle, &version));
    EXPECT_EQ(0, usctl_get_build(&handle, &build));
    EXPECT_EQ(105, version);
    EXPECT_EQ(40, build);
    usctl_exit(&dev);

    EXPECT_EQ(0, sim.stop());
    EXPECT_NE(std::string::npos, sim.output().find("\nreplayed: 6 of 6 requests\nstopped\n"))
        << sim.output();
    EXPECT_EQ(std::string::npos, sim.output().find("diverged:"));
    EXPECT_EQ(2u, count(slurp(log), "OUT request 29"));
    EXPECT_FALSE(fs::exists(device_dir("played")));
}

// The second request's message differs in one byte: it and every request
// after it fail, and one line names it.
TEST_F(DevsimReplay, ARequestThatStraysFailsFromThereOnAndIsNamedOnce)
{
    Devsim sim({ "--instance", "strayed", "--replay", k_small });
    const std::string path = sim.await("ready: ");
    ASSERT_EQ(device_dir("strayed") + "/render/qel", path);

    EXPECT_EQ(channel_reply(0, QEL_MESSAGE_SIZE, ready_reply()),
              round_trip(path, reply_read(QEL_MESSAGE_SIZE)));
    EXPECT_EQ(channel_reply(EIO, 0), round_trip(path, message_of({ 0x31, 0x02, 0x00, 0x00 })));
    EXPECT_EQ("request 2: expected 29 out 31010000(4 bytes), got 29 out 31020000(4 bytes), "
              "first difference at byte 1",
              sim.await("diverged: "));
    // What the recording had next would have matched; it is too late for it.
    EXPECT_EQ(channel_reply(EIO, 0), round_trip(path, message_of(info_request())));
    EXPECT_EQ(channel_reply(EIO, 0), round_trip(path, reply_read(QEL_MESSAGE_SIZE)));

    EXPECT_EQ(0, sim.stop());
    EXPECT_EQ(1u, count(sim.output(), "diverged:")) << sim.output();
    EXPECT_NE(std::string::npos, sim.output().find("\nreplayed: 1 of 6 requests\nstopped\n"))
        << sim.output();
}

TEST_F(DevsimReplay, AnotherDeviceOfTheTraceFailsAsRecordedAndGoesWhereItWasLost)
{
    Devsim sim({ "--instance", "second", "--replay", k_small, "--device", "qel-usb-2" });
    EXPECT_EQ(k_small + ", device qel-usb-2, 2 requests", sim.await("  replaying: "));
    const std::string path = sim.await("ready: ");
    ASSERT_EQ(device_dir("second") + "/render/qel", path);

    EXPECT_EQ(channel_reply(0, QEL_MESSAGE_SIZE, ready_reply()),
              round_trip(path, reply_read(QEL_MESSAGE_SIZE)));
    EXPECT_EQ(channel_reply(EBUSY, 0), round_trip(path, message_of(info_request())));
    EXPECT_EQ(device_dir("second") + " removed", sim.await("gone: the device went away; "));
    EXPECT_FALSE(fs::exists(device_dir("second")));
    usbdevs_context ctx;
    usbdevs_init(&ctx);
    EXPECT_NE(0, usbdevs_open_index(&ctx, nullptr, 0)) << "no device is left to open";

    EXPECT_EQ(0, sim.stop());
    EXPECT_EQ(std::string::npos, sim.output().find("diverged:"));
    EXPECT_NE(std::string::npos, sim.output().find("\nreplayed: 2 of 2 requests\nstopped\n"))
        << sim.output();
}

TEST_F(DevsimReplay, RefusesWhatCannotBePlayed)
{
    // The emulated device's own options have nothing to shape.
    for (const std::vector<std::string> &extra :
         { std::vector<std::string>{ "--fault", "busy" }, { "--installed", k_small },
           { "--version", "101" }, { "--product", "Other" }, { "--latency-us", "10" } }) {
        std::vector<std::string> args = { "--replay", k_small };
        args.insert(args.end(), extra.begin(), extra.end());
        Devsim sim(args);
        EXPECT_EQ(2, sim.wait()) << extra[0];
    }
    Devsim device_alone({ "--device", "qel-usb-1" });
    EXPECT_EQ(2, device_alone.wait());

    const std::string bad = reg.base() + "/bad.jsonl";
    std::ofstream(bad) << std::ifstream(k_small).rdbuf() << R"({"t":9,"device":"x","request":29,"out":"310","error":0,"cause":null,"ms":0})"
                       << "\n";
    const struct {
        std::vector<std::string> args;
        std::string error;
    } refused[] = {
        { { "--replay", bad }, bad + ": line 13: \"out\" has an odd number of hex digits" },
        { { "--replay", k_small, "--device", "qel-usb-3" },
          k_small + ": no record of device \"qel-usb-3\"" },
        { { "--replay", reg.base() }, reg.base() + ": not a regular file" },
    };
    for (const auto &c : refused) {
        Devsim sim(c.args, true);
        EXPECT_EQ(1, sim.wait()) << c.error;
        EXPECT_EQ("qel-devsim: " + c.error + "\n", sim.output());
    }
    EXPECT_FALSE(fs::exists(reg.root())) << "nothing registered for a trace not played";

    Devsim help({ "--help" });
    EXPECT_EQ(0, help.wait());
    EXPECT_NE(std::string::npos, help.output().find("\n  --replay FILE "));
    EXPECT_NE(std::string::npos, help.output().find("\n  --device NAME "));
}

} // namespace
