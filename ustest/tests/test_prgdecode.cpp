#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "mkimage.h"
#include "prgdecode.h"

namespace {

std::vector<uint8_t> make(ImageRecipe recipe)
{
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_TRUE(mkimage_build(recipe, &image, &error)) << error;
    return image;
}

ImageRecipe recipe_with_body(size_t length, uint32_t sum)
{
    ImageRecipe recipe;
    EXPECT_TRUE(mkimage_synthetic_body(uint32_t(length), sum, &recipe.body));
    return recipe;
}

std::string temp_path(const std::string &name)
{
    return ::testing::TempDir() + "prgdecode_" + name;
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct CheckCase {
    const char *name;
    ImageRecipe recipe;
    int cut;               // bytes removed from (negative: zero bytes appended to) the image
    std::string output;    // exact standard output
    int result;
    us_cause cause;        // and the verdict's name
    int line;              // the diagnostic line printed, 0 for none
};

class CheckTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckTest, VerdictAndDiagnostics)
{
    const CheckCase &c = GetParam();
    std::vector<uint8_t> image = make(c.recipe);
    if (c.cut > 0)
        image.resize(image.size() - size_t(c.cut));
    else
        image.resize(image.size() + size_t(-c.cut), 0);
    ::testing::internal::CaptureStdout();
    const int result = prgdecode_check(image.data(), uint32_t(image.size()));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(result, c.result);

    // The named verdict is the same test: the same print, and the line it
    // reports is the one printed.
    int line = -1;
    ::testing::internal::CaptureStdout();
    const us_cause cause = prgdecode_check_result(image.data(), uint32_t(image.size()), &line);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(cause, c.cause) << us_cause_name(cause);
    EXPECT_EQ(line, c.line);
}

ImageRecipe with(ImageRecipe recipe, void (*change)(ImageRecipe &))
{
    change(recipe);
    return recipe;
}

INSTANTIATE_TEST_SUITE_P(
    Images, CheckTest,
    ::testing::Values(
        CheckCase{"sound", recipe_with_body(1000, 78000), 0, "", 0, US_CAUSE_NONE, 0},
        CheckCase{"smallest_sound", ImageRecipe{}, 0, "", 0, US_CAUSE_NONE, 0},
        CheckCase{"bytes_past_declared_size_ignored", recipe_with_body(100, 5000), -7, "", 0,
                  US_CAUSE_NONE, 0},
        CheckCase{"declared_size_zero",
                  with(recipe_with_body(10, 50), [](ImageRecipe &s) { s.declared_size = 0; }), 0,
                  "..\\ustest\\prgdecode:157:ERROR\n", 1, US_CAUSE_IMAGE_NO_SIZE, 157},
        CheckCase{"declared_size_one_past_length",
                  with(recipe_with_body(10, 50), [](ImageRecipe &s) { s.declared_size = 47; }), 0,
                  "..\\ustest\\prgdecode:161:ERROR\n", 1, US_CAUSE_IMAGE_TRUNCATED, 161},
        CheckCase{"thirty_five_bytes",
                  with(ImageRecipe{}, [](ImageRecipe &s) { s.declared_size = 35; }), 1,
                  "..\\ustest\\prgdecode:167:ERROR\ncheck size = 0, fw_size = 35\n", 1,
                  US_CAUSE_IMAGE_TOO_SHORT, 167},
        CheckCase{"shorter_than_header", ImageRecipe{}, 10,
                  "..\\ustest\\prgdecode:167:ERROR\ncheck size = 0, fw_size = 26\n", 1,
                  US_CAUSE_IMAGE_TOO_SHORT, 167},
        // Declaring less than a whole header and trailer leaves nothing sound to sum.
        CheckCase{"declared_size_below_minimum",
                  with(recipe_with_body(4, 40), [](ImageRecipe &s) { s.declared_size = 20; }), 0,
                  "..\\ustest\\prgdecode:167:ERROR\ncheck size = 0, fw_size = 20\n", 1,
                  US_CAUSE_IMAGE_TOO_SHORT, 167},
        CheckCase{"header_checksum_wrong",
                  with(recipe_with_body(100, 5000), [](ImageRecipe &s) { s.header_checksum = 4999; }),
                  0,
                  "..\\ustest\\prgdecode:191:ERROR\n"
                  "check_size = 100, real sum = 0x1388, hdr sum = 0x1387\n",
                  1, US_CAUSE_IMAGE_CHECKSUM, 191},
        CheckCase{"header_wrong_whatever_the_trailer",
                  with(recipe_with_body(100, 5000),
                       [](ImageRecipe &s) {
                           s.header_checksum = 1;
                           s.trailer = 1;
                       }),
                  0,
                  "..\\ustest\\prgdecode:191:ERROR\n"
                  "check_size = 100, real sum = 0x1388, hdr sum = 0x1\n",
                  1, US_CAUSE_IMAGE_CHECKSUM, 191},
        CheckCase{"trailer_wrong",
                  with(recipe_with_body(100, 5000), [](ImageRecipe &s) { s.trailer = 0xABCDEF01; }), 0,
                  "..\\ustest\\prgdecode:199:ERROR\n"
                  "check_size = 100, real sum = 0xabcdef01, hdr sum = 0x1388\n",
                  1, US_CAUSE_IMAGE_CHECKSUM, 199}),
    [](const ::testing::TestParamInfo<CheckCase> &info) { return std::string(info.param.name); });

TEST(Check, NullImage)
{
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_check(nullptr, 100), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "..\\ustest\\prgdecode:151:ERROR\n");
    int line = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_check_result(nullptr, 100, &line), US_CAUSE_IMAGE_UNREADABLE);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(line, 151);
}

TEST(Check, LeavesTheImageUnchanged)
{
    const std::vector<uint8_t> image = make(recipe_with_body(300, 20000));
    std::vector<uint8_t> copy = image;
    EXPECT_EQ(prgdecode_check(copy.data(), uint32_t(copy.size())), 0);
    EXPECT_EQ(copy, image);
}

TEST(Decode, TableIsAPermutationAndEncodeIsItsInverse)
{
    std::vector<uint8_t> all(256), stored(256), back(256);
    for (int i = 0; i < 256; ++i)
        all[size_t(i)] = uint8_t(i);
    prgdecode_encode(stored.data(), all.data(), 256);
    EXPECT_EQ(prgdecode_decode(back.data(), stored.data(), 256), 256);
    EXPECT_EQ(back, all);
    EXPECT_EQ(prgdecode_body_table[0x00], 0x03);
    EXPECT_EQ(prgdecode_body_table[0xFF], 0xE8);
    uint8_t untouched = 0x55;
    EXPECT_EQ(prgdecode_decode(&untouched, all.data(), 0), 0);
    EXPECT_EQ(prgdecode_decode(&untouched, all.data(), -3), -3);
    EXPECT_EQ(untouched, 0x55);
}

TEST(Header, GettersReadBigEndianFields)
{
    ImageRecipe recipe = recipe_with_body(268284, 0x0140C7B8);
    const std::vector<uint8_t> image = make(recipe);
    prg_header h;
    std::memset(&h, 0xAA, sizeof h);
    EXPECT_EQ(prgdecode_set_header(&h, image.data()), 32);
    const uint8_t expected[32] = {0x51, 0x65, 0x6C, 0, 0, 0, 0, 0, 0x00, 0x66, 0x00,
                                  0x1F, 0x07, 0xE1, 0x03, 0x0D, 0x01, 0x40, 0xC7, 0xB8,
                                  0x00, 0x04, 0x18, 0x20, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(h.bytes, expected, 32), 0);
    EXPECT_EQ(prgdecode_get_version(&h), 102);
    EXPECT_EQ(prgdecode_get_build(&h), 31);
    EXPECT_EQ(prgdecode_get_year(&h), 2017);
    EXPECT_EQ(prgdecode_get_month(&h), 3);
    EXPECT_EQ(prgdecode_get_day(&h), 13);
    EXPECT_EQ(prgdecode_get_checksum(&h), 0x0140C7B8u);
    EXPECT_EQ(prgdecode_get_size(&h), 268320u);
    EXPECT_EQ(prgdecode_get_check_size(&h), 268284);

    // A null image only reports the header length.
    prg_header before = h;
    EXPECT_EQ(prgdecode_set_header(&h, nullptr), 32);
    EXPECT_EQ(std::memcmp(&before, &h, sizeof h), 0);

    ImageRecipe zero;
    zero.declared_size = 0;
    const std::vector<uint8_t> empty = make(zero);
    prgdecode_set_header(&h, empty.data());
    EXPECT_EQ(prgdecode_get_check_size(&h), -36);
}

TEST(Header, ProductNeedsRoomForNineBytes)
{
    ImageRecipe recipe;
    recipe.product = "ABCDEFGH";
    const std::vector<uint8_t> image = make(recipe);
    prg_header h;
    prgdecode_set_header(&h, image.data());

    char small[9];
    std::memset(small, 'x', sizeof small);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_get_product(&h, small, 8), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "..\\ustest\\prgdecode:99:ERROR\n");
    EXPECT_EQ(std::string(small, 9), "xxxxxxxxx");

    EXPECT_EQ(prgdecode_get_product(&h, small, 9), 0);
    EXPECT_STREQ(small, "ABCDEFGH");

    const std::vector<uint8_t> qel = make(ImageRecipe{});
    prgdecode_set_header(&h, qel.data());
    char name[64];
    EXPECT_EQ(prgdecode_get_product(&h, name, 64), 0);
    EXPECT_STREQ(name, "Qel");
}

struct FileCase {
    const char *name;
    std::vector<uint8_t> content;   // empty with missing = false: an empty file
    bool missing;
    int (*op)(const char *);
    std::string output;             // {path} stands for the file's path
    int result;
};

class FileOpTest : public ::testing::TestWithParam<FileCase> {};

int op_check_file(const char *p) { return prgdecode_check_file(p); }
int op_extract(const char *p) { return prgdecode_extract(p); }
int op_read_header(const char *p)
{
    prg_header h;
    return prgdecode_read_header(&h, p);
}
int op_load(const char *p)
{
    uint32_t n = 0;
    uint8_t *b = prgdecode_load(p, &n);
    std::free(b);
    return b ? 0 : 1;
}

TEST_P(FileOpTest, DiagnosticsAndResult)
{
    const FileCase &c = GetParam();
    const std::string path = temp_path(c.name);
    std::remove(path.c_str());
    std::remove((path + ".bin").c_str());
    if (!c.missing)
        write_file(path, c.content);
    ::testing::internal::CaptureStdout();
    const int result = c.op(path.c_str());
    std::string expected = c.output;
    const size_t at = expected.find("{path}");
    if (at != std::string::npos)
        expected.replace(at, 6, path);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(result, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileOpTest,
    ::testing::Values(
        FileCase{"load_missing", {}, true, op_load, "..\\ustest\\prgdecode:23:ERROR\n", 1},
        FileCase{"load_empty", {}, false, op_load, "..\\ustest\\prgdecode:33:ERROR\n", 1},
        FileCase{"header_missing", {}, true, op_read_header, "..\\ustest\\prgdecode:73:ERROR\n", 1},
        FileCase{"header_short", std::vector<uint8_t>(31, 1), false, op_read_header,
                 "..\\ustest\\prgdecode:77:ERROR\n", 1},
        FileCase{"header_exact", std::vector<uint8_t>(32, 1), false, op_read_header, "", 0},
        FileCase{"check_missing", {}, true, op_check_file,
                 "..\\ustest\\prgdecode:23:ERROR\n..\\ustest\\prgdecode:220:ERROR\n", 1},
        FileCase{"check_sound", make(recipe_with_body(64, 999)), false, op_check_file, "", 0},
        FileCase{"extract_missing", {}, true, op_extract,
                 "..\\ustest\\prgdecode:23:ERROR\n..\\ustest\\prgdecode:246:ERROR\n", 1},
        FileCase{"extract_shorter_than_header", std::vector<uint8_t>(20, 7), false, op_extract,
                 "..\\ustest\\prgdecode:246:ERROR\n", 1}),
    [](const ::testing::TestParamInfo<FileCase> &info) { return std::string(info.param.name); });

// The reason a file gave no image is an image cause, as the check's are.
TEST(Load, WhyIsTheCause)
{
    const struct {
        const char *name;
        bool missing;
        std::vector<uint8_t> content;
        int why;
    } cases[] = {
        { "why_missing", true, {}, US_CAUSE_IMAGE_UNREADABLE },
        { "why_empty", false, {}, US_CAUSE_IMAGE_TOO_SHORT },
        { "why_one_byte", false, { 1 }, US_CAUSE_NONE },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = temp_path(c.name);
        std::remove(path.c_str());
        if (!c.missing)
            write_file(path, c.content);
        uint32_t length = 0;
        int why = -1;
        ::testing::internal::CaptureStdout();
        uint8_t *buf = prgdecode_load_file(path.c_str(), &length, &why);
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(buf != nullptr, c.why == US_CAUSE_NONE);
        EXPECT_EQ(why, c.why) << us_cause_name(why);
        std::free(buf);
        std::remove(path.c_str());
    }
}

#ifndef _WIN32
// Lengths are 32-bit throughout the format; a longer file is refused before
// anything is allocated (a sparse file, so nothing is really written).
TEST(Load, FileBeyondFourGigabytes)
{
    const std::string path = temp_path("huge.img");
    { std::ofstream(path, std::ios::binary | std::ios::trunc); }
    ASSERT_EQ(truncate(path.c_str(), off_t(0x100000000LL) + 1), 0);
    uint32_t length = 7;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_load(path.c_str(), &length), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "..\\ustest\\prgdecode:28:ERROR\n");
    EXPECT_EQ(length, 7u);
    std::remove(path.c_str());
}
#endif

#ifndef _WIN32
// Only a regular file is an image file. Opening never waits: a named pipe
// with no writer used to hold every command in open(), a device node could
// hand out bytes for ever.
TEST(Load, OnlyRegularFilesAreRead)
{
    const std::string fifo = temp_path("fifo.img");
    const std::string dir = temp_path("dir.img");
    std::remove(fifo.c_str());
    rmdir(dir.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    for (const std::string &path : { fifo, dir, std::string("/dev/zero") }) {
        SCOPED_TRACE(path);
        uint32_t length = 7;
        int why = US_CAUSE_NONE;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(prgdecode_load_file(path.c_str(), &length, &why), nullptr);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "..\\ustest\\prgdecode:23:ERROR\n");
        EXPECT_EQ(why, US_CAUSE_IMAGE_NOT_REGULAR);
        EXPECT_EQ(length, 7u);

        prg_header h;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(prgdecode_read_header(&h, path.c_str()), 1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "..\\ustest\\prgdecode:73:ERROR\n");
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(prgdecode_check_file(path.c_str()), 1);
        EXPECT_EQ(prgdecode_print_info(path.c_str()), -1);
        ::testing::internal::GetCapturedStdout();
    }
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_extract(fifo.c_str()), 1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(std::ifstream(fifo + ".bin").good());
    std::remove(fifo.c_str());
    rmdir(dir.c_str());
}

// No more is read than an image can be; a longer file is refused before
// anything is allocated (sparse files, so nothing is really written).
TEST(Load, AtMostTheLargestImage)
{
    const struct {
        off_t length;
        bool loads;
    } cases[] = {
        { off_t(PRG_MAX_FILE_SIZE), true },
        { off_t(PRG_MAX_FILE_SIZE) + 1, false },
        { off_t(1) << 30, false },
    };
    const std::string path = temp_path("sparse.img");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        { std::ofstream(path, std::ios::binary | std::ios::trunc); }
        ASSERT_EQ(truncate(path.c_str(), c.length), 0);
        uint32_t length = 0;
        int why = -1;
        ::testing::internal::CaptureStdout();
        uint8_t *buf = prgdecode_load_file(path.c_str(), &length, &why);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(buf != nullptr, c.loads);
        if (c.loads) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(why, US_CAUSE_NONE);
            EXPECT_EQ(length, uint32_t(c.length));
        } else {
            EXPECT_EQ(out, "..\\ustest\\prgdecode:28:ERROR\n");
            EXPECT_EQ(why, US_CAUSE_IMAGE_TOO_LARGE);
        }
        std::free(buf);
    }
    std::remove(path.c_str());
}
#endif

// The print reaches a terminal: a product or file name cannot clear the
// screen or forge a line.
TEST(PrintInfo, OutsideTextIsShownEscaped)
{
    ImageRecipe recipe = recipe_with_body(10, 100);
    recipe.product = "Q\x1b[2J\x1b[H";
#ifdef _WIN32
    // Windows allows no control character in a file name; the product alone
    // shows the escaping there.
    const std::string name = "info_name.bin", shown = name;
#else
    const std::string name = "info_\n_name.bin", shown = "info_\\x0a_name.bin";
#endif
    const std::string path = temp_path(name);
    write_file(path, make(recipe));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_print_info(path.c_str()), 0);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(0, out.find("version:")),
              "filename: " + temp_path(shown) + "\nproduct: Q\\x1b[2J\\x1b[H\n");
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    std::remove(path.c_str());
}

TEST(Extract, DecodesEverythingAfterTheHeaderToPathDotBin)
{
    ImageRecipe recipe = recipe_with_body(500, 30000);
    std::vector<uint8_t> image = make(recipe);
    const std::vector<uint8_t> extra = {0x10, 0x20, 0x30};
    image.insert(image.end(), extra.begin(), extra.end());
    const std::string path = temp_path("extract.img");
    write_file(path, image);
    std::remove((path + ".bin").c_str());

    ASSERT_EQ(prgdecode_extract(path.c_str()), 0);
    const std::vector<uint8_t> out = read_file(path + ".bin");
    ASSERT_EQ(out.size(), image.size() - 32);
    std::vector<uint8_t> expected(out.size());
    prgdecode_decode(expected.data(), image.data() + 32, int(expected.size()));
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(std::equal(recipe.body.begin(), recipe.body.end(), out.begin()));
}

// Names are UTF-8 on every system: on Windows too, where the ANSI code page
// cannot hold every name a user may give the command-line updater.
TEST(Extract, NamesAreUtf8)
{
    const std::string path = temp_path("\xce\xbb.img");   // a Greek lambda
    const std::filesystem::path name = std::filesystem::u8path(path);
    const std::filesystem::path output = std::filesystem::u8path(path + ".bin");
    const std::vector<uint8_t> image = make(recipe_with_body(500, 30000));
    {
        std::ofstream f(name, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
    }
    std::filesystem::remove(output);

    uint32_t length = 0;
    uint8_t *buf = prgdecode_load_file(path.c_str(), &length, nullptr);
    EXPECT_NE(buf, nullptr);
    EXPECT_EQ(length, image.size());
    std::free(buf);
    ASSERT_EQ(prgdecode_extract(path.c_str()), 0);
    std::error_code error;
    EXPECT_EQ(std::filesystem::file_size(output, error), image.size() - 32);
    std::filesystem::remove(name);
    std::filesystem::remove(output);
}

TEST(Extract, ShortFileWritesNothingAndLongPathsFit)
{
    const std::string dir = ::testing::TempDir();
    const std::string longname = dir + std::string(200, 'n') + "." + std::string(40, 'e');
    write_file(longname, std::vector<uint8_t>(10, 1));
    std::remove((longname + ".bin").c_str());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_extract(longname.c_str()), 1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(std::ifstream(longname + ".bin").good());

    write_file(longname, make(recipe_with_body(10, 100)));
    EXPECT_EQ(prgdecode_extract(longname.c_str()), 0);
    EXPECT_EQ(read_file(longname + ".bin").size(), 14u);
    std::remove(longname.c_str());
    std::remove((longname + ".bin").c_str());
}

TEST(Extract, OutputThatCannotBeCreated)
{
    // A directory where the output file should go cannot be opened for writing.
    const std::string path = temp_path("extract_blocked.img");
    write_file(path, make(recipe_with_body(10, 100)));
    const std::string out = path + ".bin";
    std::remove(out.c_str());
#ifdef _WIN32
    ASSERT_EQ(_mkdir(out.c_str()), 0);
#else
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
#endif
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_extract(path.c_str()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "..\\ustest\\prgdecode:268:ERROR\n");
#ifdef _WIN32
    _rmdir(out.c_str());
#else
    rmdir(out.c_str());
#endif
}

TEST(PrintInfo, SoundAndFaultyImages)
{
    const std::string good = temp_path("info_good.bin");
    write_file(good, make(recipe_with_body(268284, 0x0140C7B8)));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_print_info(good.c_str()), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "filename: " + good +
                  "\nproduct: Qel\nversion: 102\nbuild: 31\ndate: 2017/3/13\n"
                  "checksum: 0x140c7b8\nsize: 268320\ntest checksum...\nOK\n");

    ImageRecipe bad_recipe = recipe_with_body(10, 100);
    bad_recipe.header_checksum = 101;
    const std::string bad = temp_path("info_bad.bin");
    write_file(bad, make(bad_recipe));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_print_info(bad.c_str()), -1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("test checksum...\n..\\ustest\\prgdecode:191:ERROR\n"
                       "check_size = 10, real sum = 0x64, hdr sum = 0x65\n"
                       "NG\n..\\ustest\\prgdecode:312:ERROR\n"),
              std::string::npos)
        << out;

    const std::string missing = temp_path("info_missing.bin");
    std::remove(missing.c_str());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(prgdecode_print_info(missing.c_str()), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "filename: " + missing +
                  "\n..\\ustest\\prgdecode:73:ERROR\n..\\ustest\\prgdecode:293:ERROR\n");
}

} // namespace
