// The Windows side of the channel, on a system without a Qel device: what can
// be shown without the driver (selection, the opening, the error lines).
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "channelwire.h"
#include "usbdevs.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string site(int line)
{
    return "..\\ustest\\usbdevs_win:" + std::to_string(line) + ":ERROR\n";
}

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &s, const std::string &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class ChannelWin : public testing::Test {
protected:
    void SetUp() override { usbdevs_init(&ctx); }
    usbdevs_context ctx;
};

TEST_F(ChannelWin, OnlyNumberZeroIsLookedFor)
{
    std::wcscpy(ctx.dev[0].path, L"kept");
    usbdevs_context *handle = nullptr;
    for (int number = 1; number <= 9; ++number) {
        CaptureStdout();
        EXPECT_EQ(1, usbdevs_open_index(&ctx, &handle, static_cast<uint8_t>(number)));
        EXPECT_EQ("", GetCapturedStdout()) << number;
    }
    // No device is driven by "qel" here: nothing is found and the path stays.
    EXPECT_EQ(1, usbdevs_open_index(&ctx, &handle, 0));
    EXPECT_EQ(nullptr, handle);
    EXPECT_STREQ(L"kept", ctx.dev[0].path);
    EXPECT_EQ(0, usbdevs_find(nullptr, ctx.dev[0].path, USBDEVS_PATH_CAPACITY, nullptr));
}

TEST_F(ChannelWin, NoDeviceFailsAtTheOpening)
{
    const uint8_t byte = 1;
    uint8_t buf[64];
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte));
    const std::string write_out = GetCapturedStdout();
    EXPECT_TRUE(starts_with(write_out, "GetLastError() = 0x")) << write_out;
    EXPECT_TRUE(ends_with(write_out, "ERROR : 200\n" + site(248))) << write_out;

    CaptureStdout();
    EXPECT_EQ(1, usbdevs_read(&ctx, QEL_REQUEST_REPLY, 0, 0, sizeof buf, buf));
    const std::string read_out = GetCapturedStdout();
    EXPECT_TRUE(starts_with(read_out, "GetLastError() = 0x")) << read_out;
    EXPECT_TRUE(ends_with(read_out, "ERROR : 200\n")) << read_out;
}

TEST_F(ChannelWin, RefusedWritesOpenNothing)
{
    const uint8_t byte = 1;
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 0, &byte));
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, nullptr));
    EXPECT_EQ(site(244) + site(245), GetCapturedStdout());
}

TEST_F(ChannelWin, ChannelPathReplacesTheReferenceName)
{
    // A plain file where the channel belongs opens, and then refuses the
    // driver's request: the request fails after the opening, not at it.
    wchar_t dir[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, dir));
    std::wstring base = std::wstring(dir) + L"qel-channel-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    const std::wstring channel = base + L"\\qel";
    HANDLE f = CreateFileW(channel.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    CloseHandle(f);

    const std::wstring iface = base + L"\\global";
    std::wcscpy(ctx.dev[0].path, iface.c_str());
    const uint8_t byte = 1;
    CaptureStdout();
    EXPECT_EQ(1, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, 1, &byte));
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(starts_with(out, site(223) + "GetLastError() = 0x")) << out;

    DeleteFileW(channel.c_str());
    RemoveDirectoryW(base.c_str());
}

TEST(ChannelWinErrors, PrintsTheCodeAndTheSystemText)
{
    CaptureStdout();
    SetLastError(ERROR_FILE_NOT_FOUND);
    usbdevs_print_last_error();
    const std::string known = GetCapturedStdout();
    EXPECT_TRUE(starts_with(known, "GetLastError() = 0x2\n")) << known;
    EXPECT_GT(known.size(), std::strlen("GetLastError() = 0x2\n"));

    // A code the system has no text for prints its line alone.
    CaptureStdout();
    SetLastError(0x2BADC0DE);
    usbdevs_print_last_error();
    EXPECT_EQ("GetLastError() = 0x2badc0de\n", GetCapturedStdout());
}

} // namespace
