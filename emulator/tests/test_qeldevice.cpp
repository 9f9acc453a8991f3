#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "channelwire.h"
#include "mkimage.h"
#include "prgdecode.h"
#include "qeldevice.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes make_image(uint32_t body_length, const char *product, uint16_t version, uint16_t build)
{
    ImageRecipe recipe;
    recipe.product = product;
    recipe.version = version;
    recipe.build = build;
    EXPECT_TRUE(mkimage_synthetic_body(body_length, body_length * 97u, &recipe.body));
    Bytes image;
    std::string error;
    EXPECT_TRUE(mkimage_build(recipe, &image, &error)) << error;
    return image;
}

uint32_t header_checksum(const Bytes &image)
{
    prg_header h;
    prgdecode_set_header(&h, image.data());
    return prgdecode_get_checksum(&h);
}

// Integer items of a reply by tag; byte strings as text. Written apart from
// both framing implementations so that it can judge them.
struct Reply {
    std::map<int, uint32_t> ints;
    std::map<int, std::string> texts;
    bool has(int tag) const { return ints.count(tag) || texts.count(tag); }
};

Reply parse(const Bytes &r)
{
    Reply out;
    size_t i = 0;
    while (i + 2 <= r.size() && r[i + 1] != 0) {
        const uint8_t tag = r[i], type = r[i + 1];
        const size_t widths[] = {0, 0, 1, 2, 4};
        if (type == 5) {
            if (i + 3 > r.size() || i + 3 + r[i + 2] > r.size())
                break;
            out.texts[tag].assign(r.begin() + long(i) + 3, r.begin() + long(i) + 3 + r[i + 2]);
            i += 3 + r[i + 2];
        } else if (type <= 4) {
            const size_t w = widths[type];
            if (i + 2 + w > r.size())
                break;
            uint32_t v = 0;
            for (size_t k = 0; k < w; ++k)
                v |= uint32_t(r[i + 2 + k]) << (8 * k);
            out.ints[tag] = v;
            i += 2 + w;
        } else {
            break;
        }
    }
    return out;
}

Bytes u32_item(uint8_t tag, uint32_t v)
{
    return {tag, 4, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24), 0, 0};
}

// A device on a clock that the test moves by hand.
class DeviceTest : public testing::Test {
protected:
    uint64_t now_us = 0;
    qel::DeviceConfig cfg;
    std::unique_ptr<qel::Device> dev;

    DeviceTest() { cfg.clock_us = [this] { return now_us; }; }

    qel::Device &start()
    {
        dev.reset(new qel::Device(cfg));
        return *dev;
    }
    int send(const Bytes &msg)
    {
        return dev->control_out(QEL_REQUEST_MESSAGE, 0, 0, msg.data(), msg.size());
    }
    Bytes read(size_t length = QEL_MESSAGE_SIZE)
    {
        Bytes r(length);
        size_t n = 0;
        EXPECT_EQ(dev->control_in(QEL_REQUEST_REPLY, 0, 0, r.data(), length, &n), 0);
        r.resize(n);
        return r;
    }
    Reply ask(const Bytes &msg)
    {
        EXPECT_EQ(send(msg), 0);
        return parse(read());
    }
    Reply status() { return ask({34, 1, 0, 0}); }
    uint32_t checksum(uint32_t n) { return ask(u32_item(39, n)).ints.at(40); }

    // Sends image bytes [from, to) in blocks as the host would; the block
    // that ends the range has tag 38.
    void send_blocks(const Bytes &image, uint32_t from, uint32_t to)
    {
        while (from < to) {
            const uint32_t n = std::min<uint32_t>(61, to - from);
            const uint8_t tag = (from + n == to) ? 38 : 37;
            Bytes msg = {tag, 5, uint8_t(n)};
            msg.insert(msg.end(), image.begin() + from, image.begin() + from + n);
            if (msg.size() <= 62)
                msg.insert(msg.end(), {0, 0});
            ASSERT_EQ(send(msg), 0);
            from += n;
        }
    }
    // The whole transfer, at the pace the device sets.
    void transfer(const Bytes &image)
    {
        const uint32_t size = uint32_t(image.size());
        ASSERT_EQ(send(u32_item(33, size)), 0);
        for (int guard = 0; guard < 100000; ++guard) {
            const Reply s = status();
            const uint32_t room = s.ints.at(35), offset = s.ints.at(36);
            if (room == 0)
                return;
            send_blocks(image, offset, offset + room);
        }
        FAIL() << "transfer never ended";
    }
};

struct BadRequest {
    const char *name;
    bool out;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    size_t length;
};

class Stalls : public DeviceTest, public testing::WithParamInterface<BadRequest> {};

TEST_P(Stalls, RefusedWithEio)
{
    const BadRequest c = GetParam();
    start();
    Bytes data(std::max<size_t>(c.length, 1), 0);
    size_t supplied = 99;
    const int status = c.out
        ? dev->control_out(c.request, c.value, c.index, data.data(), c.length)
        : dev->control_in(c.request, c.value, c.index, data.data(), c.length, &supplied);
    EXPECT_EQ(status, EIO);
    if (!c.out) {
        EXPECT_EQ(supplied, 0u);
    }
    ASSERT_EQ(dev->log().size(), 1u);
    EXPECT_EQ(dev->log()[0].request, c.request);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, Stalls,
    testing::Values(BadRequest{"OutOtherCode", true, QEL_REQUEST_REPLY, 0, 0, 4},
                    BadRequest{"OutValue", true, QEL_REQUEST_MESSAGE, 1, 0, 4},
                    BadRequest{"OutIndex", true, QEL_REQUEST_MESSAGE, 0, 1, 4},
                    BadRequest{"OutEmpty", true, QEL_REQUEST_MESSAGE, 0, 0, 0},
                    BadRequest{"OutTooLong", true, QEL_REQUEST_MESSAGE, 0, 0, QEL_MESSAGE_SIZE + 1},
                    BadRequest{"InOtherCode", false, QEL_REQUEST_MESSAGE, 0, 0, QEL_MESSAGE_SIZE},
                    BadRequest{"InValue", false, QEL_REQUEST_REPLY, 2, 0, QEL_MESSAGE_SIZE}),
    [](const testing::TestParamInfo<BadRequest> &info) { return std::string(info.param.name); });

TEST_F(DeviceTest, RepliesAreReadyFlagAnswerAndPadding)
{
    start();
    Bytes expected(QEL_MESSAGE_SIZE, 0);
    expected[0] = 0xA1;
    expected[1] = 2;
    expected[2] = 1;
    EXPECT_EQ(read(), expected) << "before any message";

    ASSERT_EQ(send({49, 1, 0, 0}), 0);
    const Bytes info = {0xA1, 2, 1, 50, 3, 102, 0, 51, 3, 31, 0, 52, 5, 3, 'Q', 'e', 'l'};
    std::copy(info.begin(), info.end(), expected.begin());
    EXPECT_EQ(read(), expected);
    EXPECT_EQ(read(), expected) << "an answer stays until the next message";

    ASSERT_EQ(send({19, 2, 5, 0, 0}), 0);
    EXPECT_EQ(parse(read()).ints, (std::map<int, uint32_t>{{161, 1}}));
    EXPECT_EQ(read(10).size(), 10u) << "a shorter read gets what it asked";
}

TEST_F(DeviceTest, IdentityComesFromInstalledHeaderUnlessKept)
{
    cfg.installed = make_image(100, "QelMini8", 205, 7);
    cfg.product = "Other";
    start();
    EXPECT_EQ(dev->product(), "QelMini8");
    EXPECT_EQ(dev->version(), 205);
    EXPECT_EQ(dev->build(), 7);
    const Reply info = ask({49, 1, 0, 0});
    EXPECT_EQ(info.texts.at(52), "QelMini8");
    EXPECT_EQ(info.ints.at(50), 205u);

    cfg.identity_from_image = false;
    start();
    EXPECT_EQ(ask({49, 1, 0, 0}).texts.at(52), "Other");
    EXPECT_EQ(dev->version(), 102);
}

TEST_F(DeviceTest, LongProductIsCutToTheReply)
{
    cfg.product = std::string(70, 'p');
    start();
    const Bytes r = (send({49, 1, 0, 0}), read());
    EXPECT_EQ(parse(r).texts.at(52), std::string(QEL_MESSAGE_SIZE - 11 - 3, 'p'));
}

TEST_F(DeviceTest, ChecksumIsSumOfDecodedBodyOverRequestedBytes)
{
    const Bytes image = make_image(5000, "Qel", 102, 31);
    cfg.installed = image;
    start();
    Bytes plain(image.size());
    prgdecode_decode(plain.data() + 32, image.data() + 32, int(image.size()) - 32);
    uint32_t first_1000 = 0;
    for (int i = 0; i < 1000; ++i)
        first_1000 += plain[32 + i];

    EXPECT_EQ(checksum(5000), header_checksum(image));
    EXPECT_EQ(checksum(uint32_t(image.size())), header_checksum(image)) << "capped at check size";
    EXPECT_EQ(checksum(1000), first_1000);
    EXPECT_EQ(checksum(0), 0u);

    cfg.installed.clear();
    start();
    EXPECT_EQ(checksum(5000), 0u);
}

TEST_F(DeviceTest, TransferInstallsWholeImageAndReportsDone)
{
    cfg.installed = make_image(100, "Qel", 101, 1);
    cfg.burst_room = 1000;
    start();
    const Bytes image = make_image(2500, "Qel", 102, 31);
    ASSERT_EQ(send(u32_item(33, uint32_t(image.size()))), 0);

    Reply s = status();
    EXPECT_EQ(s.ints.at(35), 1000u);
    EXPECT_EQ(s.ints.at(36), 0u);
    send_blocks(image, 0, 1000);
    send_blocks(image, 1000, 2000);
    s = status();
    EXPECT_EQ(s.ints.at(35), image.size() - 2000) << "room shrinks to what is left";
    EXPECT_EQ(s.ints.at(36), 2000u);
    EXPECT_FALSE(dev->updated());
    send_blocks(image, 2000, uint32_t(image.size()));

    s = status();
    EXPECT_EQ(s.ints.at(35), 0u);
    EXPECT_EQ(s.ints.at(36), image.size());
    EXPECT_TRUE(dev->updated());
    EXPECT_EQ(dev->installed(), image);
    EXPECT_EQ(dev->version(), 102);
    EXPECT_EQ(checksum(uint32_t(image.size()) - 36), header_checksum(image));
}

TEST_F(DeviceTest, NoTransferOrTooLargeGetsNoRoom)
{
    cfg.flash_size = 4096;
    start();
    EXPECT_EQ(status().ints, (std::map<int, uint32_t>{{161, 1}, {35, 0}, {36, 0}}));
    ASSERT_EQ(send(u32_item(33, 4097)), 0);
    EXPECT_EQ(status().ints.at(35), 0u);
    ASSERT_EQ(send(u32_item(33, 4096)), 0);
    EXPECT_EQ(status().ints.at(35), 1024u);
}

TEST_F(DeviceTest, BusyForBusyTimeAfterEachBurst)
{
    cfg.busy_us = 2000;
    start();
    const Bytes image = make_image(200, "Qel", 102, 31);
    ASSERT_EQ(send(u32_item(33, uint32_t(image.size()))), 0);
    send_blocks(image, 0, 61);   // a lone block is the last of its burst
    EXPECT_EQ(parse(read()).ints.at(161), 0u);
    now_us += 1999;
    EXPECT_EQ(parse(read()).ints.at(161), 0u);
    now_us += 1;
    EXPECT_EQ(parse(read()).ints.at(161), 1u);
    // A block that announces more of the burst does not start the busy time.
    ASSERT_EQ(send({37, 5, 1, 0xAB}), 0);
    EXPECT_EQ(parse(read()).ints.at(161), 1u);
}

TEST_F(DeviceTest, ParametersAreStoredAndReadBackWithSelectors)
{
    start();
    ASSERT_EQ(send({97, 2, 4, 98, 2, 1, 138, 2, 0x5A, 0, 0}), 0);
    EXPECT_EQ(parse(read()).ints, (std::map<int, uint32_t>{{161, 1}})) << "a write answers nothing";
    EXPECT_EQ(ask({97, 2, 4, 98, 2, 1, 138, 1, 0, 0}).ints,
              (std::map<int, uint32_t>{{161, 1}, {97, 4}, {98, 1}, {138, 0x5A}}));
    EXPECT_EQ(ask({97, 2, 1, 98, 2, 1, 138, 1, 0, 0}).ints.at(138), 0u) << "other selectors";
    EXPECT_EQ(ask({20, 1, 0, 0}).ints.at(20), 0u);
}

TEST_F(DeviceTest, LogsEveryRequestInOrder)
{
    start();
    ASSERT_EQ(send({49, 1, 0, 0}), 0);
    read();
    EXPECT_EQ(dev->control_out(7, 0, 0, nullptr, 0), EIO);
    ASSERT_EQ(dev->log().size(), 3u);
    EXPECT_TRUE(dev->log()[0].out);
    EXPECT_EQ(dev->log()[0].data, (Bytes{49, 1, 0, 0}));
    EXPECT_FALSE(dev->log()[1].out);
    EXPECT_EQ(dev->log()[1].request, QEL_REQUEST_REPLY);
    EXPECT_EQ(dev->log()[1].data.size(), size_t(QEL_MESSAGE_SIZE));
    EXPECT_EQ(dev->log()[2].request, 7);
}

// Fault options ------------------------------------------------------------

TEST(FaultOptions, ParseIntoConfig)
{
    const struct {
        const char *text;
        std::function<bool(const qel::DeviceConfig &)> check;
    } good[] = {
        {"busy", [](auto &c) { return c.always_busy; }},
        {"no-room", [](auto &c) { return c.no_room; }},
        {"lag", [](auto &c) { return c.offset_lag == 61; }},
        {"lag=10", [](auto &c) { return c.offset_lag == 10; }},
        {"fail-writes", [](auto &c) { return c.fail_writes == 1; }},
        {"fail-writes=3", [](auto &c) { return c.fail_writes == 3; }},
        {"short-read", [](auto &c) { return c.short_reads && c.short_read_count == 0; }},
        {"short-read=2", [](auto &c) { return c.short_reads && c.short_read_count == 2; }},
        {"never=40", [](auto &c) { return c.never_tags == std::vector<uint8_t>{40}; }},
        {"never=0x34", [](auto &c) { return c.never_tags == std::vector<uint8_t>{0x34}; }},
        {"checksum-off=-7", [](auto &c) { return c.checksum_skew == -7; }},
        {"checksum-off=16", [](auto &c) { return c.checksum_skew == 16; }},
        {"noise=20", [](auto &c) { return c.checksum_noise == 20; }},
        {"vanish=0", [](auto &c) { return c.vanish_after == 0; }},
        {"vanish=4096", [](auto &c) { return c.vanish_after == 4096; }},
        {"latency=250", [](auto &c) { return c.latency_us == 250; }},
    };
    for (const auto &c : good) {
        qel::DeviceConfig cfg;
        std::string error;
        EXPECT_TRUE(qel::parse_fault(c.text, cfg, &error)) << c.text << ": " << error;
        EXPECT_TRUE(c.check(cfg)) << c.text;
    }

    const char *bad[] = {"",           "bogus",       "busy=1",     "lag=0",      "lag=x",
                         "never",      "never=256",   "never=-1",   "never=",     "noise=1.5",
                         "vanish",     "latency=-5",  "checksum-off=", "checksum-off=0x", "fail-writes=0"};
    for (const char *text : bad) {
        qel::DeviceConfig cfg;
        std::string error;
        EXPECT_FALSE(qel::parse_fault(text, cfg, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(FaultOptions, NeverMayBeGivenAgainAndHelpListsEveryMode)
{
    qel::DeviceConfig cfg;
    ASSERT_TRUE(qel::parse_fault("never=40", cfg, nullptr));
    ASSERT_TRUE(qel::parse_fault("never=52", cfg, nullptr));
    EXPECT_EQ(cfg.never_tags, (std::vector<uint8_t>{40, 52}));

    std::istringstream help(qel::fault_help());
    std::string line;
    int lines = 0;
    for (const char *mode : {"busy", "no-room", "lag", "fail-writes", "short-read", "never",
                             "checksum-off", "noise", "vanish", "latency"}) {
        ASSERT_TRUE(std::getline(help, line));
        EXPECT_EQ(line.find(std::string("  ") + mode), 0u) << line;
        ++lines;
    }
    EXPECT_FALSE(std::getline(help, line)) << "one line per mode";
}

class FaultTest : public DeviceTest {
protected:
    qel::Device &start_with(const char *fault)
    {
        std::string error;
        EXPECT_TRUE(qel::parse_fault(fault, cfg, &error)) << error;
        return start();
    }
};

TEST_F(FaultTest, AlwaysBusy)
{
    start_with("busy");
    for (int i = 0; i < 3; ++i, now_us += 1000000)
        EXPECT_EQ(parse(read()).ints.at(161), 0u);
}

TEST_F(FaultTest, NoRoomAndLag)
{
    start_with("no-room");
    ASSERT_EQ(send(u32_item(33, 1000)), 0);
    EXPECT_EQ(status().ints.at(35), 0u);

    cfg.no_room = false;
    start_with("lag=10");
    const Bytes image(1000, 0x11);
    ASSERT_EQ(send(u32_item(33, 1000)), 0);
    EXPECT_EQ(status().ints.at(36), 0u) << "no lag below zero";
    send_blocks(image, 0, 100);
    EXPECT_EQ(status().ints.at(36), 90u);
    EXPECT_EQ(dev->received(), 100u);
}

TEST_F(FaultTest, FirstWritesStall)
{
    start_with("fail-writes=2");
    EXPECT_EQ(send({49, 1, 0, 0}), EIO);
    EXPECT_EQ(send({49, 1, 0, 0}), EIO);
    EXPECT_FALSE(parse(read()).has(52)) << "a stalled message is not carried out";
    EXPECT_EQ(send({49, 1, 0, 0}), 0);
    EXPECT_TRUE(parse(read()).has(52));
}

TEST_F(FaultTest, ShortReads)
{
    const size_t kHalf = QEL_MESSAGE_SIZE / 2;
    const struct { const char *fault; std::vector<size_t> supplied; } cases[] = {
        {"short-read=2", {kHalf, kHalf, QEL_MESSAGE_SIZE, QEL_MESSAGE_SIZE}},
        {"short-read", {kHalf, kHalf, kHalf, kHalf}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        cfg.short_reads = false;
        cfg.short_read_count = 0;
        start_with(c.fault);
        for (size_t want : c.supplied) {
            uint8_t buf[QEL_MESSAGE_SIZE];
            size_t n = 0;
            EXPECT_EQ(dev->control_in(QEL_REQUEST_REPLY, 0, 0, buf, sizeof buf, &n), 0);
            EXPECT_EQ(n, want);
        }
    }
}

TEST_F(FaultTest, NeverAnsweredTags)
{
    start_with("never=52");
    ASSERT_TRUE(qel::parse_fault("never=161", cfg, nullptr));
    start();
    const Reply info = ask({49, 1, 0, 0});
    EXPECT_FALSE(info.has(52));
    EXPECT_FALSE(info.has(161));
    EXPECT_EQ(info.ints.at(51), 31u);
}

TEST_F(FaultTest, ChecksumOffOnlyAfterAnUpdate)
{
    const Bytes old_image = make_image(300, "Qel", 101, 1);
    const Bytes new_image = make_image(400, "Qel", 102, 2);
    cfg.installed = old_image;
    start_with("checksum-off=-5");
    EXPECT_EQ(checksum(300), header_checksum(old_image));
    transfer(new_image);
    ASSERT_TRUE(dev->updated());
    EXPECT_EQ(checksum(400), header_checksum(new_image) - 5);
}

TEST_F(FaultTest, NoisyChecksumsStayWithinBoundsAndRepeat)
{
    cfg.installed = make_image(300, "Qel", 101, 1);
    const uint32_t truth = header_checksum(cfg.installed);
    auto readings = [&] {
        start_with("noise=20");
        std::vector<uint32_t> r;
        for (int i = 0; i < 50; ++i)
            r.push_back(checksum(300));
        return r;
    };
    const std::vector<uint32_t> first = readings();
    bool varied = false;
    for (uint32_t v : first) {
        EXPECT_LE(int64_t(v) - int64_t(truth), 20);
        EXPECT_GE(int64_t(v) - int64_t(truth), -20);
        varied = varied || v != first[0];
    }
    EXPECT_TRUE(varied);
    EXPECT_EQ(readings(), first) << "the same seed gives the same readings";
}

TEST_F(FaultTest, VanishesAfterImageBytes)
{
    start_with("vanish=100");
    const Bytes image(1000, 0x22);
    ASSERT_EQ(send(u32_item(33, 1000)), 0);
    send_blocks(image, 0, 61);
    EXPECT_FALSE(dev->gone());
    send_blocks(image, 61, 122);   // crosses 100: taken, then gone
    EXPECT_TRUE(dev->gone());
    const size_t logged = dev->log().size();
    uint8_t buf[QEL_MESSAGE_SIZE];
    size_t n = 7;
    EXPECT_EQ(dev->control_in(QEL_REQUEST_REPLY, 0, 0, buf, sizeof buf, &n), ENODEV);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(send({34, 1, 0, 0}), ENODEV);
    EXPECT_EQ(dev->log().size(), logged) << "a device that is gone receives nothing";

    cfg.vanish_after = 0;
    start();
    ASSERT_EQ(send(u32_item(33, 1000)), 0);
    EXPECT_EQ(send({38, 5, 1, 0x22, 0, 0}), ENODEV);
}

TEST_F(FaultTest, LatencyIsReportedToTheServer)
{
    EXPECT_EQ(start_with("latency=250").latency_us(), 250u);
}

} // namespace
