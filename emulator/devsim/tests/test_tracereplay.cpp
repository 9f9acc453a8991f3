// Replaying a trace: which requests get their recorded outcome, what the
// first one that does not is told and how it is reported, and which files
// are refused before anything is played.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "tracefile.h"
#include "tracereplay.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string &hex)
{
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return b;
}

std::string header(const std::string &platform = "linux")
{
    return R"({"format":"qel-trace","version":1,"program":"qel-fwtool","program_version":"1.2.0",)"
           R"("platform":")" + platform + R"(","started":"2026-03-02T10:00:00.000Z"})" "\n";
}

std::string out_record(const std::string &hex, int error = 0, const char *cause = "null",
                       const std::string &device = "dev")
{
    return R"({"t":1.5,"device":")" + device + R"(","request":29,"out":")" + hex
           + R"(","error":)" + std::to_string(error) + R"(,"cause":)" + cause + R"(,"ms":0.2})" "\n";
}

std::string in_record(size_t length, const std::string &reply, int error = 0,
                      const char *cause = "null", const std::string &device = "dev")
{
    return R"({"t":2,"device":")" + device + R"(","request":30,"length":)" + std::to_string(length)
           + R"(,"reply":")" + reply + R"(","error":)" + std::to_string(error) + R"(,"cause":)"
           + cause + R"(,"ms":0.1})" "\n";
}

std::string open_failure(const std::string &device = "dev")
{
    return R"({"t":3,"device":")" + device + R"(","open":"failed","error":2,"cause":"gone","ms":0.05})" "\n";
}

// A 64-byte message of zeros with one byte set.
std::string message_with(size_t at, uint8_t value)
{
    Bytes b(64);
    b[at] = value;
    std::string s;
    char h[3];
    for (uint8_t x : b) {
        std::snprintf(h, sizeof h, "%02x", x);
        s += h;
    }
    return s;
}

devsim::Trace parsed(const std::string &text, const std::string &device = "")
{
    devsim::Trace trace;
    std::string error;
    EXPECT_TRUE(devsim::parse_trace(text, device, &trace, &error)) << error;
    return trace;
}

// One request sent to the replaying device and what it should get.
struct Step {
    bool in;
    uint8_t request;
    std::string out_hex;   // OUT: the bytes sent
    size_t length;         // IN: the bytes asked for
    int error;
    std::string reply_hex;   // IN: the bytes expected back
};

Step out(const std::string &hex, int error = 0) { return { false, 29, hex, 0, error, "" }; }
Step in(size_t length, int error = 0, const std::string &reply = "")
{
    return { true, 30, "", length, error, reply };
}

struct ReplayCase {
    const char *name;
    std::string trace;
    std::vector<Step> steps;
    std::string divergence;   // the one line expected, or none
    size_t replayed;
    bool gone;
};

class TraceReplayCases : public testing::TestWithParam<ReplayCase> {};

TEST_P(TraceReplayCases, AnswersAsRecordedUntilTheRequestsDiffer)
{
    const ReplayCase &c = GetParam();
    devsim::TraceReplay replay(parsed(c.trace));
    std::vector<std::string> lines;
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const Step &s = c.steps[i];
        if (s.in) {
            Bytes buffer(s.length, 0xEE);
            size_t supplied = 99;
            EXPECT_EQ(s.error, replay.control_in(s.request, 0, 0, buffer.data(), s.length, &supplied))
                << "step " << i + 1;
            buffer.resize(std::min(supplied, buffer.size()));
            EXPECT_EQ(from_hex(s.reply_hex), buffer) << "step " << i + 1;
        } else {
            const Bytes data = from_hex(s.out_hex);
            EXPECT_EQ(s.error, replay.control_out(s.request, 0, 0, data.data(), data.size()))
                << "step " << i + 1;
        }
        const std::string line = replay.take_divergence();
        if (!line.empty())
            lines.push_back(line);
    }
    EXPECT_EQ(c.divergence.empty() ? std::vector<std::string>{} : std::vector<std::string>{ c.divergence },
              lines);
    EXPECT_EQ(c.replayed, replay.replayed());
    EXPECT_EQ(c.gone, replay.gone());
}

const std::string k_ready = "a1020100";

INSTANTIATE_TEST_SUITE_P(
    Replay, TraceReplayCases,
    testing::Values(
        ReplayCase{ "matching",
                    header() + R"({"t":0,"diag":"start"})" "\n" + in_record(4, k_ready)
                        + out_record("31010000") + in_record(64, "a10201"),
                    { in(4, 0, k_ready), out("31010000"), in(64, 0, "a10201") },
                    "", 3, false },
        ReplayCase{ "other_devices_records_are_not_played",
                    header() + in_record(4, k_ready) + out_record("3101", 0, "null", "other")
                        + in_record(4, "ffffffff", 0, "null", "other") + out_record("3102"),
                    { in(4, 0, k_ready), out("3102") }, "", 2, false },
        ReplayCase{ "a_byte_differs_in_a_message",
                    header() + in_record(4, k_ready) + out_record("31010000") + in_record(4, k_ready),
                    { in(4, 0, k_ready), out("31020000", EIO), in(4, EIO) },
                    "diverged: request 2: expected 29 out 31010000(4 bytes), got 29 out "
                    "31020000(4 bytes), first difference at byte 1",
                    1, false },
        ReplayCase{ "a_byte_differs_deep_in_a_long_message",
                    header() + out_record(message_with(40, 1)),
                    { out(message_with(40, 2), EIO) },
                    "diverged: request 1: expected 29 out …0000010000000000…(64 bytes), got 29 out "
                    "…0000020000000000…(64 bytes), first difference at byte 40",
                    0, false },
        ReplayCase{ "a_message_cut_short",
                    header() + out_record("3101000000"),
                    { out("310100", EIO) },
                    "diverged: request 1: expected 29 out …01000000(5 bytes), got 29 out …0100(3 bytes), "
                    "first difference at byte 3",
                    0, false },
        ReplayCase{ "a_read_of_another_length",
                    header() + in_record(64, k_ready),
                    { in(16, EIO), in(64, EIO) },
                    "diverged: request 1: expected 30 in (64 bytes), got 30 in (16 bytes)", 0, false },
        ReplayCase{ "a_read_where_a_message_was_recorded",
                    header() + out_record("3101"),
                    { in(64, EIO) },
                    "diverged: request 1: expected 29 out 3101(2 bytes), got 30 in (64 bytes)", 0,
                    false },
        ReplayCase{ "past_the_end",
                    header() + in_record(4, k_ready),
                    { in(4, 0, k_ready), out("3101", EIO), in(4, EIO) },
                    "diverged: request 2: expected the end of the trace, got 29 out 3101(2 bytes)", 1,
                    false },
        ReplayCase{ "nothing_recorded",
                    header() + open_failure(),
                    { in(4, EIO) },
                    "diverged: request 1: expected the end of the trace, got 30 in (4 bytes)", 0,
                    false },
        // A short reply is what the channel returned; the client decides what it means.
        ReplayCase{ "a_short_reply_stays_short",
                    header() + in_record(64, "a102", 0, "\"malformed\""),
                    { in(64, 0, "a102") }, "", 1, false },
        // On Linux the recorded number is the errno itself, whatever its cause's name.
        ReplayCase{ "linux_errors_as_recorded",
                    header() + out_record("3101", EBUSY, "\"busy\"") + in_record(64, "", EPROTO, "\"malformed\"")
                        + in_record(64, "", ENOENT, "\"gone\""),
                    { out("3101", EBUSY), in(64, EPROTO), in(64, ENOENT) }, "", 3, false },
        // Elsewhere the numbers are the system's own; the cause says what happened.
        ReplayCase{ "windows_errors_by_cause",
                    header("windows") + out_record("3101", 31, "\"gone\"")
                        + in_record(64, "", 121, "\"timeout\"") + out_record("3102", 5, "\"no-access\"")
                        + out_record("3103", 170, "\"busy\"") + out_record("3104", 31, "\"refused\"")
                        + in_record(64, "", 1167, "null") + in_record(2, "a102", 0, "null"),
                    { out("3101", ENODEV), in(64, ETIMEDOUT), out("3102", EACCES), out("3103", EBUSY),
                      out("3104", EIO), in(64, EIO), in(2, 0, "a102") },
                    "", 7, false },
        ReplayCase{ "gone_where_the_recording_could_not_open_it",
                    header() + in_record(4, k_ready) + open_failure() + open_failure()
                        + out_record("3101"),
                    { in(4, 0, k_ready), out("3101", ENODEV), in(4, ENODEV) }, "", 1, true },
        ReplayCase{ "an_opening_failure_before_any_request_is_not_a_departure",
                    header() + open_failure() + in_record(4, k_ready) + open_failure("other"),
                    { in(4, 0, k_ready) }, "", 1, false }),
    [](const testing::TestParamInfo<ReplayCase> &info) { return info.param.name; });

TEST(TraceFile, PlaysTheFirstDeviceNamedOrTheOneAskedFor)
{
    const std::string text = header() + open_failure("first") + in_record(4, k_ready, 0, "null", "second")
                             + out_record("3101", 0, "null", "first")
                             + out_record("3102", 0, "null", "second");
    const devsim::Trace first = parsed(text);
    EXPECT_EQ("first", first.device);
    ASSERT_EQ(1u, first.requests.size());
    EXPECT_EQ(from_hex("3101"), first.requests[0].out);

    const devsim::Trace second = parsed(text, "second");
    EXPECT_EQ("second", second.device);
    ASSERT_EQ(2u, second.requests.size());
    EXPECT_EQ(30, second.requests[0].request);
    EXPECT_EQ(4u, second.requests[0].length);
    EXPECT_EQ(from_hex(k_ready), second.requests[0].reply);
    EXPECT_EQ(from_hex("3102"), second.requests[1].out);
}

// What later versions of the recorder, or another platform's line ends, may add.
TEST(TraceFile, TakesWhatItDoesNotNeedToUnderstand)
{
    const std::string text =
        header("windows")
        + R"({"t":0,"diag":"x","level":3})" "\r\n"
        + "\n   \n"
        + R"({"t":1,"event":"suspend","device":"dev"})" "\n"
        + R"({"t":1,"device":"dev","request":29,"out":"ABcd","error":0,"cause":null,"ms":0,"setup":[1,2]})" "\r\n"
        + R"({"t":2,"device":"dev","open":"retried","error":0,"cause":null,"ms":1})" "\n"
        + R"({"t":3,"device":"dev","request":30,"length":0,"reply":"","error":0,"cause":"none","ms":1e-3})";
    const devsim::Trace trace = parsed(text);
    EXPECT_EQ("windows", trace.platform);
    ASSERT_EQ(2u, trace.requests.size());
    EXPECT_EQ(from_hex("abcd"), trace.requests[0].out);
    EXPECT_FALSE(trace.requests[0].gone_after);
    EXPECT_EQ(0u, trace.requests[1].length);
}

struct BadTrace {
    const char *name;
    std::string text;
    std::string device;
    std::string error;   // the whole error line
};

class TraceFileRefuses : public testing::TestWithParam<BadTrace> {};

TEST_P(TraceFileRefuses, WithOneLineSayingWhere)
{
    const BadTrace &c = GetParam();
    devsim::Trace trace;
    std::string error;
    EXPECT_FALSE(devsim::parse_trace(c.text, c.device, &trace, &error));
    EXPECT_EQ(c.error, error);
}

const std::string k_record_start = R"({"t":1,"device":"dev",)";

INSTANTIATE_TEST_SUITE_P(
    Malformed, TraceFileRefuses,
    testing::Values(
        BadTrace{ "empty", "\n\n", "", "not a trace file: it is empty" },
        BadTrace{ "not_json", "PK\x03\x04 zip\n", "", "line 1: not a trace file: the first line is not JSON" },
        BadTrace{ "header_not_an_object", "[1]\n", "",
                  "line 1: not a trace file: the first line is not a header object" },
        BadTrace{ "another_format", R"({"format":"pcap","version":1,"platform":"linux"})", "",
                  "line 1: not a trace file: the header's \"format\" is not \"qel-trace\"" },
        BadTrace{ "a_later_version", R"({"format":"qel-trace","version":2,"platform":"linux"})", "",
                  "line 1: trace version 2: only version 1 can be played" },
        BadTrace{ "a_version_that_is_text", R"({"format":"qel-trace","version":"1","platform":"linux"})",
                  "", "line 1: \"version\" must be a whole number from 0 to 4294967295" },
        BadTrace{ "no_platform", R"({"format":"qel-trace","version":1})", "",
                  "line 1: \"platform\" must be a string" },
        BadTrace{ "a_broken_line", header() + out_record("3101") + "{\"t\":1,\n", "",
                  "line 3: not valid JSON" },
        BadTrace{ "a_line_that_is_no_object", header() + "\n\"text\"\n", "",
                  "line 3: not a JSON object" },
        BadTrace{ "no_time", header() + R"({"device":"dev","request":29,"out":"31","error":0,"ms":0})", "",
                  "line 2: \"t\" must be a number of milliseconds" },
        BadTrace{ "a_negative_time", header() + R"({"t":-1,"diag":"x"})", "",
                  "line 2: \"t\" must be a number of milliseconds" },
        BadTrace{ "a_device_that_is_a_number",
                  header() + R"({"t":1,"device":7,"request":29,"out":"31","error":0,"ms":0})", "",
                  "line 2: \"device\" must be a string" },
        BadTrace{ "an_odd_number_of_digits", header() + out_record("310"), "",
                  "line 2: \"out\" has an odd number of hex digits" },
        BadTrace{ "not_hex", header() + out_record("31zz"), "",
                  "line 2: \"out\" holds a character that is not a hex digit" },
        BadTrace{ "an_empty_message", header() + out_record(""), "", "line 2: \"out\" holds no bytes" },
        BadTrace{ "a_reply_longer_than_asked", header() + in_record(2, "a10201"), "",
                  "line 2: \"reply\" holds 3 bytes, more than the 2 asked for" },
        BadTrace{ "a_length_past_a_transfer", header() + in_record(65536, ""), "",
                  "line 2: \"length\" must be a whole number from 0 to 65535" },
        BadTrace{ "another_request", header() + k_record_start + R"("request":31,"length":4,"reply":"","error":0,"ms":0})",
                  "", "line 2: request 31 is neither 29 nor 30" },
        BadTrace{ "a_request_that_is_text", header() + k_record_start + R"("request":"29","out":"31","error":0,"ms":0})",
                  "", "line 2: \"request\" must be a whole number from 0 to 255" },
        BadTrace{ "a_negative_error", header() + out_record("31", -5), "",
                  "line 2: \"error\" must be a whole number from 0 to 4095" },
        BadTrace{ "an_error_no_errno_can_be", header() + out_record("31", 70000), "",
                  "line 2: \"error\" must be a whole number from 0 to 4095" },
        BadTrace{ "a_cause_that_is_a_number", header() + out_record("31", 5, "5"), "",
                  "line 2: \"cause\" must be null or a short string" },
        BadTrace{ "no_duration", header() + k_record_start + R"("request":29,"out":"31","error":0})", "",
                  "line 2: \"ms\" must be a number of milliseconds" },
        BadTrace{ "an_opening_without_its_error", header() + k_record_start + R"("open":"failed","ms":0})", "",
                  "line 2: \"error\" must be a whole number from 0 to 4095" },
        BadTrace{ "both_kinds_at_once", header() + k_record_start + R"("open":"failed","request":29})", "",
                  "line 2: both a request and an opening" },
        BadTrace{ "nested_deep", header() + R"({"t":1,"x":[[[[[[[[[[[[1]]]]]]]]]]]]})", "",
                  "line 2: nested deeper than a trace record is" },
        BadTrace{ "a_device_it_does_not_name", header() + out_record("31"), "missing",
                  "no record of device \"missing\"" },
        BadTrace{ "no_device_at_all", header() + R"({"t":1,"diag":"nothing found"})", "",
                  "no device is named in it" }),
    [](const testing::TestParamInfo<BadTrace> &info) { return info.param.name; });

class TraceFileReading : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/test_tracereplay.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string dir_;
};

TEST_F(TraceFileReading, RefusesWhatIsNoTraceFileBeforeReadingIt)
{
    const std::string big = dir_ + "/big.jsonl";
    {
        std::ofstream f(big, std::ios::binary);
        f << header();
    }
    // Sparse: as large as refused without writing it.
    fs::resize_file(big, devsim::k_max_trace_bytes + 1);
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        { big, big + ": larger than 64 MiB, more than any trace this program plays" },
        { dir_, dir_ + ": not a regular file" },
        { dir_ + "/none.jsonl", dir_ + "/none.jsonl: No such file or directory" },
    };
    for (const auto &c : cases) {
        devsim::Trace trace;
        std::string error;
        EXPECT_FALSE(devsim::read_trace(c.path, "", &trace, &error)) << c.path;
        EXPECT_EQ(c.error, error);
    }

    const std::string good = dir_ + "/good.jsonl";
    {
        std::ofstream f(good, std::ios::binary);
        f << header() << out_record("3101") << "{\n";
    }
    devsim::Trace trace;
    std::string error;
    EXPECT_FALSE(devsim::read_trace(good, "", &trace, &error));
    EXPECT_EQ(good + ": line 3: not valid JSON", error);
}

} // namespace
