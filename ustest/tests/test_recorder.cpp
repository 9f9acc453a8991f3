// The channel's recorder: what a trace file holds for each kind of request
// outcome over the real channel, with the test playing the driver, and the
// file's own rules (header, timing per file, text kept valid JSON).
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "channelwire.h"
#include "testdriver.h"
#include "usbdevs.h"
#include "usrecorder.h"
#include "ustrace.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> read_lines(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The times differ from run to run; their form does not.
std::string untimed(const std::string &line)
{
    std::string out = line;
    for (const char *key : { "\"t\":", "\"ms\":" }) {
        const size_t at = out.find(key);
        if (at == std::string::npos)
            continue;
        const size_t from = at + std::strlen(key);
        size_t to = from;
        while (to < out.size() && (std::isdigit(static_cast<unsigned char>(out[to])) || out[to] == '.'))
            ++to;
        out.replace(from, to - from, key[1] == 't' ? "T" : "M");
    }
    return out;
}

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/qel-recorder-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The request lines of a trace, without the header and the console's lines.
std::vector<std::string> requests(const std::string &path)
{
    std::vector<std::string> out;
    for (const std::string &line : read_lines(path))
        if (line.find("\"device\"") != std::string::npos)
            out.push_back(untimed(line));
    return out;
}

struct ChannelCase {
    const char *name;
    bool write;                 // request 29 with bytes 01 02, else request 30 of 4 bytes
    uint32_t error;             // what the driver answers with
    Bytes reply;                // what it supplies to a read
    bool gone;                  // the device's entry removed before the request
    const char *expected;
};

class RecordedChannel : public testing::TestWithParam<ChannelCase> {};

TEST_P(RecordedChannel, OneLinePerRequestWithItsOutcome)
{
    const ChannelCase &c = GetParam();
    TestRegistry reg;
    const std::string dir = reg.add_device("dev0", "qel\n", { "global" });
    TestDriver driver(dir + "/render/qel", [&](const Bytes &) {
        return channel_reply(c.error, c.error ? 0 : uint32_t(c.reply.size()), c.reply);
    });
    usbdevs_context ctx;
    usbdevs_init(&ctx);
    ASSERT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    if (c.gone)
        fs::remove_all(reg.root() + "/dev0");

    TempDir tmp;
    std::string error;
    us_trace_file *trace = us_trace_start(tmp.file("t.jsonl").c_str(), "test", "0", &error);
    ASSERT_NE(nullptr, trace) << error;
    const us_trace_fn before = us_set_trace(&us_trace_discard);
    const uint8_t out[2] = { 1, 2 };
    uint8_t in[4] = {};
    if (c.write)
        usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, sizeof out, out);
    else
        usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, sizeof in, in);
    us_set_trace(before);
    ASSERT_TRUE(us_trace_stop(trace));

    const std::vector<std::string> lines = requests(tmp.file("t.jsonl"));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(c.expected, lines[0]);
}

const ChannelCase k_channel_cases[] = {
    { "Written", true, 0, {}, false,
      R"({"t":T,"device":"dev0","request":29,"out":"0102","error":0,"cause":null,"ms":M})" },
    { "Read", false, 0, { 0xa1, 0x02, 0xff, 0x00 }, false,
      R"({"t":T,"device":"dev0","request":30,"length":4,"reply":"a102ff00","error":0,"cause":null,"ms":M})" },
    // What the channel returned is kept, so that a replay gives the same short answer.
    { "ShortReply", false, 0, { 0xa1, 0x02 }, false,
      R"({"t":T,"device":"dev0","request":30,"length":4,"reply":"a102","error":0,"cause":"malformed","ms":M})" },
    { "Stalled", true, EIO, {}, false,
      R"({"t":T,"device":"dev0","request":29,"out":"0102","error":5,"cause":"refused","ms":M})" },
    { "ReadFromAGoneDevice", false, ENODEV, {}, false,
      R"({"t":T,"device":"dev0","request":30,"length":4,"reply":"","error":19,"cause":"gone","ms":M})" },
    { "OpenedAfterItWent", true, 0, {}, true,
      R"({"t":T,"device":"dev0","open":"failed","error":2,"cause":"gone","ms":M})" },
};

INSTANTIATE_TEST_SUITE_P(Recorder, RecordedChannel, testing::ValuesIn(k_channel_cases),
                         [](const testing::TestParamInfo<ChannelCase> &i) { return i.param.name; });

TEST(Recorder, HeaderAndEachFileTimedFromItsOwnStart)
{
    TempDir tmp;
    std::string error;
    EXPECT_FALSE(us_recording());
    us_trace_file *first = us_trace_start(tmp.file("a.jsonl").c_str(), "qel-fwtool", "1.2.3", &error);
    ASSERT_NE(nullptr, first) << error;
    EXPECT_TRUE(us_recording());
    const uint8_t b = 7;
    us_record_write("d", 29, &b, 1, 0, US_CAUSE_NONE, us_record_clock_ns());
    us_trace_file *second = us_trace_start(tmp.file("b.jsonl").c_str(), "qel-fwtool", "1.2.3", &error);
    ASSERT_NE(nullptr, second) << error;
    const uint64_t began = us_record_clock_ns() - 2500000;   // a request that took 2.5 ms
    us_record_read("d", 30, 1, &b, 1, 0, US_CAUSE_NONE, began);
    ASSERT_TRUE(us_trace_stop(first));
    EXPECT_TRUE(us_recording());
    us_record_write("d", 29, &b, 1, 0, US_CAUSE_NONE, us_record_clock_ns());
    ASSERT_TRUE(us_trace_stop(second));
    EXPECT_FALSE(us_recording());
    us_record_write("d", 29, &b, 1, 0, US_CAUSE_NONE, us_record_clock_ns());   // goes nowhere

    const std::vector<std::string> a = read_lines(tmp.file("a.jsonl"));
    const std::vector<std::string> bl = read_lines(tmp.file("b.jsonl"));
    ASSERT_EQ(3u, a.size());
    ASSERT_EQ(3u, bl.size());
    // The start as ISO 8601 in UTC, to the millisecond: 2026-12-10T21:30:00.123Z.
    const auto header_ok = [](const std::string &h) {
        const std::string head = R"({"format":"qel-trace","version":1,"program":"qel-fwtool",)"
                                 R"("program_version":"1.2.3","platform":")";
        const size_t started = h.find(R"(","started":")");
        if (h.compare(0, head.size(), head) != 0 || started == std::string::npos)
            return false;
        const std::string when = h.substr(started + 13);
        const std::string form = "dddd-dd-ddTdd:dd:dd.dddZ\"}";
        if (when.size() != form.size())
            return false;
        for (size_t i = 0; i < form.size(); ++i)
            if (form[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(when[i])) : when[i] != form[i])
                return false;
        return true;
    };
    EXPECT_TRUE(header_ok(a[0])) << a[0];
    EXPECT_TRUE(header_ok(bl[0])) << bl[0];
    // The read began before the second file did: its time there is 0, not negative.
    EXPECT_NE(std::string::npos, bl[1].find("{\"t\":0.000,")) << bl[1];
    const size_t ms = bl[1].find("\"ms\":");
    ASSERT_NE(std::string::npos, ms) << bl[1];
    EXPECT_GE(std::stod(bl[1].substr(ms + 5)), 2.5);
    EXPECT_EQ(R"({"t":T,"device":"d","request":29,"out":"07","error":0,"cause":null,"ms":M})",
              untimed(bl[2]));
}

TEST(Recorder, TextFromOutsideStaysValidJson)
{
    TempDir tmp;
    std::string error;
    us_trace_file *f = us_trace_start(tmp.file("t.jsonl").c_str(), "p\"q", "1", &error);
    ASSERT_NE(nullptr, f) << error;
    // A registry entry's name may hold any byte but '/' and NUL.
    us_record_open_failure("a\"b\\c\x01\xff\xc3\xa9", 2, US_CAUSE_GONE, us_record_clock_ns());
    // The console's lines come in pieces, some with a CR before the LF.
    us_record_diag("pos = ", 6);
    us_record_diag("1024/2048\r\nsecond\n", 18);
    us_record_diag("unended", 7);
    ASSERT_TRUE(us_trace_stop(f));

    const std::vector<std::string> lines = read_lines(tmp.file("t.jsonl"));
    ASSERT_EQ(5u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(R"("program":"p\"q")"));
    EXPECT_EQ("{\"t\":T,\"device\":\"a\\\"b\\\\c\\u0001\\u00ff\xc3\xa9\",\"open\":\"failed\","
              "\"error\":2,\"cause\":\"gone\",\"ms\":M}",
              untimed(lines[1]));
    EXPECT_EQ(R"({"t":T,"diag":"pos = 1024/2048"})", untimed(lines[2]));
    EXPECT_EQ(R"({"t":T,"diag":"second"})", untimed(lines[3]));
    // What was printed last is kept, ended or not.
    EXPECT_EQ(R"({"t":T,"diag":"unended"})", untimed(lines[4]));
}

TEST(Recorder, TheConsoleTraceIsRecordedWhateverItsSink)
{
    TempDir tmp;
    std::string error;
    const us_trace_fn before = us_set_trace(&us_trace_discard);
    us_trace_file *f = us_trace_start(tmp.file("t.jsonl").c_str(), "p", "1", &error);
    ASSERT_NE(nullptr, f) << error;
    us_tracef("pos = %d/%d\n", 64, 128);
    us_trace_text("..\\ustest\\usctl:1:ERROR\n");
    ASSERT_TRUE(us_trace_stop(f));
    us_set_trace(before);

    const std::vector<std::string> lines = read_lines(tmp.file("t.jsonl"));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(R"({"t":T,"diag":"pos = 64/128"})", untimed(lines[1]));
    EXPECT_EQ(R"({"t":T,"diag":"..\\ustest\\usctl:1:ERROR"})", untimed(lines[2]));
}

TEST(Recorder, AFileThatCannotBeWrittenIsSaidSo)
{
    std::string error;
    EXPECT_EQ(nullptr, us_trace_start("/nonexistent-dir/t.jsonl", "p", "1", &error));
    EXPECT_NE(std::string::npos, error.find("/nonexistent-dir/t.jsonl")) << error;
    EXPECT_FALSE(us_recording());
}

// A reader that stalls, or none at all, must never stall an update: only a
// regular file records, and refusing the others leaves them untouched.
TEST(Recorder, OnlyARegularFileRecords)
{
    TempDir tmp;
    const std::string fifo = tmp.file("fifo.jsonl");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string error;
    EXPECT_EQ(nullptr, us_trace_start(fifo.c_str(), "p", "1", &error));
    EXPECT_NE(std::string::npos, error.find("not a regular file")) << error;
    EXPECT_EQ(nullptr, us_trace_start("/dev/null", "p", "1", &error));
    EXPECT_FALSE(us_recording());

    // An existing file is emptied first.
    const std::string file = tmp.file("old.jsonl");
    std::ofstream(file) << std::string(5000, 'x');
    us_trace_file *f = us_trace_start(file.c_str(), "p", "1", &error);
    ASSERT_NE(nullptr, f) << error;
    ASSERT_TRUE(us_trace_stop(f));
    EXPECT_EQ(1u, read_lines(file).size());
}

} // namespace
