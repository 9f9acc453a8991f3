// Who may write the device registry: the client uses only entries that
// nobody but the user or root could have made, since the registry decides
// which program receives the firmware and whose answers are believed.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "channelwire.h"
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

// What a program can tell its user about a registry it cannot use.
enum RootChange { kNoRoot, kPrivate, kGroupOpen, kForeignOwner, kRootLink, kRootFile, kNoAccess };

struct StateCase {
    const char *name;
    RootChange change;
    int state;
};

class RegistryState : public testing::TestWithParam<StateCase> {};

TEST_P(RegistryState, TellsWhyTheListCannotBeHad)
{
    const StateCase &c = GetParam();
    TestRegistry reg;
    const std::string root = reg.root();
    switch (c.change) {
    case kNoRoot:
        break;
    case kPrivate:
        ASSERT_EQ(0, mkdir(root.c_str(), 0700));
        break;
    case kGroupOpen:
        ASSERT_EQ(0, mkdir(root.c_str(), 0700));
        ASSERT_EQ(0, chmod(root.c_str(), 0770));
        break;
    case kForeignOwner: {
        uid_t uid;
        gid_t gid;
        if (!other_user(&uid, &gid))
            GTEST_SKIP() << "giving a file to another user needs root and a user 'nobody'";
        ASSERT_EQ(0, mkdir(root.c_str(), 0700));
        ASSERT_EQ(0, chown(root.c_str(), uid, gid));
        break;
    }
    case kRootLink:
        fs::create_directory(reg.base() + "/mine");
        fs::create_directory_symlink(reg.base() + "/mine", root);
        break;
    case kRootFile:
        std::ofstream(root) << "";
        break;
    case kNoAccess:
        if (geteuid() == 0)
            GTEST_SKIP() << "root reads any directory";
        ASSERT_EQ(0, mkdir(root.c_str(), 0));
        break;
    }
    std::string said;
    EXPECT_EQ(c.state, usbdevs_posix_registry_state(&said));
    EXPECT_EQ(root, said);
    // The list itself keeps its contract: -1 exactly when it cannot be had.
    EXPECT_EQ(c.state == USBDEVS_REGISTRY_USABLE, usbdevs_list(nullptr, 0) >= 0);
    chmod(root.c_str(), 0700);
}

INSTANTIATE_TEST_SUITE_P(
    Root, RegistryState,
    testing::Values(StateCase{ "missing", kNoRoot, USBDEVS_REGISTRY_USABLE },
                    StateCase{ "private", kPrivate, USBDEVS_REGISTRY_USABLE },
                    StateCase{ "group_writable", kGroupOpen, USBDEVS_REGISTRY_OPEN },
                    StateCase{ "another_users", kForeignOwner, USBDEVS_REGISTRY_FOREIGN },
                    StateCase{ "a_link", kRootLink, USBDEVS_REGISTRY_FOREIGN },
                    StateCase{ "a_file", kRootFile, USBDEVS_REGISTRY_FOREIGN },
                    StateCase{ "unreadable", kNoAccess, USBDEVS_REGISTRY_UNREADABLE }),
    [](const testing::TestParamInfo<StateCase> &info) { return info.param.name; });

// Whoever made the socket's name, only a driver run by the user or by root is
// sent a request. Here the test driver runs as another user, in a directory of
// its own that the trusted device's channel leads to.
TEST(RegistryTrustPeer, ADriverOfAnotherUserIsNoDevice)
{
    uid_t uid;
    gid_t gid;
    if (!other_user(&uid, &gid))
        GTEST_SKIP() << "running a driver as another user needs root and a user 'nobody'";
    TestRegistry reg;
    const std::string dir = reg.add_device("dev0", "qel", { "global" });
    const std::string foreign = reg.base() + "/foreign";
    ASSERT_EQ(0, mkdir(foreign.c_str(), 0700));
    ASSERT_EQ(0, chown(foreign.c_str(), uid, gid));
    ASSERT_EQ(0, chmod(reg.base().c_str(), 0711));   // mkdtemp's 0700 would keep nobody out
    ASSERT_EQ(0, symlink((foreign + "/qel").c_str(), (dir + "/render/qel").c_str()));

    // ready: the driver listens; count: how many connections to wait for,
    // and back the bytes of requests it was sent.
    int ready[2], count[2], report[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(count));
    ASSERT_EQ(0, pipe(report));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(gid) != 0 || setuid(uid) != 0)
            _exit(2);
        TestDriver driver(foreign + "/qel", [](const Bytes &) { return channel_reply(0, 0); });
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1 || read(count[0], &byte, 1) != 1)
            _exit(3);
        size_t bytes = 0;
        for (const TestDriver::Connection &c : driver.wait_for(size_t(byte)))
            bytes += c.request.size();
        const unsigned long sent = bytes;
        _exit(write(report[1], &sent, sizeof sent) == sizeof sent ? 0 : 4);
    }
    char byte = 0;
    ASSERT_EQ(1, read(ready[0], &byte, 1));

    usbdevs_context ctx;
    usbdevs_init(&ctx);
    ASSERT_EQ(0, usbdevs_open_index(&ctx, nullptr, 0));
    errno = 0;
    EXPECT_EQ(USBDEVS_INVALID_HANDLE, usbdevs_open((dir + "/render/global").c_str()));
    EXPECT_EQ(EACCES, errno);
    const uint8_t payload[4] = { 0x31, 1, 0, 0 };
    CaptureStdout();
    EXPECT_NE(0, usbdevs_write(&ctx, QEL_REQUEST_MESSAGE, 0, 0, sizeof payload, payload));
    GetCapturedStdout();

    // Both openings reached the driver; neither sent it a byte.
    byte = 2;
    ASSERT_EQ(1, write(count[1], &byte, 1));
    unsigned long sent = 99;
    ASSERT_EQ(ssize_t(sizeof sent), read(report[0], &sent, sizeof sent));
    EXPECT_EQ(0u, sent);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : { ready[0], ready[1], count[0], count[1], report[0], report[1] })
        close(fd);
}

} // namespace
