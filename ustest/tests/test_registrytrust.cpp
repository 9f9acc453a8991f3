// Who may write the device registry: the client uses only entries that
// nobody but the user or root could have made, since the registry decides
// which program receives the firmware and whose answers are believed.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testdriver.h"
#include "usbdevs.h"
#include "usbdevs_os.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

enum Change { kOtherOwner, kGroupWritable, kOtherWritable, kLink };

struct TrustCase {
    const char *name;
    const char *entry;   // relative to the root; "" is the root itself
    Change change;
};

// Another user's id to give files to; only root can do that.
bool other_user(uid_t *uid, gid_t *gid)
{
    const passwd *pw = getpwnam("nobody");
    if (geteuid() != 0 || !pw || pw->pw_uid == 0)
        return false;
    *uid = pw->pw_uid;
    *gid = pw->pw_gid;
    return true;
}

class RegistryTrust : public testing::TestWithParam<TrustCase> {};

// One untrusted change to device "b" (or the root), beside a sound device
// "a"; of two matching devices the later one is used, so "b" would win if
// it were not skipped.
TEST_P(RegistryTrust, UntrustedEntriesAreNotUsed)
{
    const TrustCase &c = GetParam();
    TestRegistry reg;
    const std::string sound = reg.add_device("a", "qel", { "global" }) + "/render/global";
    reg.add_device("b", "qel", { "global" });
    const std::string path = reg.root() + (*c.entry ? "/" : "") + c.entry;

    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st));
    switch (c.change) {
    case kOtherOwner: {
        uid_t uid;
        gid_t gid;
        if (!other_user(&uid, &gid))
            GTEST_SKIP() << "giving a file to another user needs root and a user 'nobody'";
        ASSERT_EQ(0, lchown(path.c_str(), uid, gid)) << std::strerror(errno);
        break;
    }
    case kGroupWritable:
        ASSERT_EQ(0, chmod(path.c_str(), (st.st_mode & 07777) | 020));
        break;
    case kOtherWritable:
        ASSERT_EQ(0, chmod(path.c_str(), (st.st_mode & 07777) | 002));
        break;
    case kLink:
        // The same entry, moved aside and reached through a link of the user's own.
        fs::rename(path, reg.base() + "/moved");
        fs::create_directory_symlink(reg.base() + "/moved", path);
        break;
    }

    usbdevs_context ctx;
    usbdevs_init(&ctx);
    usbdevs_context *handle = nullptr;
    CaptureStdout();
    const int status = usbdevs_open_index(&ctx, &handle, 0);
    const std::string printed = GetCapturedStdout();
    if (*c.entry == 0) {
        // The root: the device list cannot be had at all.
        EXPECT_EQ(1, status);
        EXPECT_EQ("ERROR : 73\n", printed);
        EXPECT_EQ(nullptr, handle);
    } else {
        // That device is skipped as if absent; the sound one is device 0.
        EXPECT_EQ(0, status);
        EXPECT_EQ(sound, ctx.dev[0].path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Channel, RegistryTrust,
    testing::Values(TrustCase{ "root_of_another_user", "", kOtherOwner },
                    TrustCase{ "root_group_writable", "", kGroupWritable },
                    TrustCase{ "root_world_writable", "", kOtherWritable },
                    TrustCase{ "root_is_a_link", "", kLink },
                    TrustCase{ "device_of_another_user", "b", kOtherOwner },
                    TrustCase{ "device_group_writable", "b", kGroupWritable },
                    TrustCase{ "device_is_a_link", "b", kLink },
                    TrustCase{ "render_of_another_user", "b/render", kOtherOwner },
                    TrustCase{ "render_world_writable", "b/render", kOtherWritable },
                    TrustCase{ "service_of_another_user", "b/service", kOtherOwner },
                    TrustCase{ "service_group_writable", "b/service", kGroupWritable },
                    TrustCase{ "interface_of_another_user", "b/render/global", kOtherOwner },
                    TrustCase{ "interface_world_writable", "b/render/global", kOtherWritable }),
    [](const testing::TestParamInfo<TrustCase> &info) { return info.param.name; });

// A device keeps its trusted interfaces when another of its files is not one.
TEST(RegistryTrustInterfaces, OnlyTheUntrustedInterfaceIsSkipped)
{
    TestRegistry reg;
    const std::string dir = reg.add_device("a", "qel", { "one", "two" });
    ASSERT_EQ(0, chmod((dir + "/render/two").c_str(), 0666));   // the last would win
    usbdevs_context ctx;
    usbdevs_init(&ctx);
    ASSERT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    EXPECT_EQ(dir + "/render/one", ctx.dev[0].path);
}

TEST(RegistryTrustRoot, StatesTheDriverSees)
{
    TestRegistry reg;
    EXPECT_EQ(USBDEVS_ROOT_MISSING, usbdevs_posix_root_state(reg.root()));
    ASSERT_EQ(0, mkdir(reg.root().c_str(), 0700));
    EXPECT_EQ(USBDEVS_ROOT_TRUSTED, usbdevs_posix_root_state(reg.root()));
    ASSERT_EQ(0, chmod(reg.root().c_str(), 0770));
    EXPECT_EQ(USBDEVS_ROOT_UNTRUSTED, usbdevs_posix_root_state(reg.root()));
    fs::remove(reg.root());
    fs::create_directory_symlink(reg.base(), reg.root());
    EXPECT_EQ(USBDEVS_ROOT_UNTRUSTED, usbdevs_posix_root_state(reg.root()));
}

} // namespace
