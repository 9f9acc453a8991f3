// One update of a device at a time: the lock of one program is seen by every
// other, and goes when its holder does, however it ends.
#include <csignal>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testdriver.h"
#include "updatelock.h"

namespace {

// fcntl locks never conflict within one process, so the other program is a
// forked child; its exit status is the state it got.
int state_in_child(const std::string &interface)
{
    const pid_t pid = fork();
    if (pid == 0) {
        UpdateLock lock;
        _exit(lock.take(interface.c_str()));
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// A child that takes the lock and keeps it until it is killed.
class Holder {
public:
    explicit Holder(const std::string &interface)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            UpdateLock lock;
            const char state = char(lock.take(interface.c_str()));
            if (write(ready[1], &state, 1) != 1)
                _exit(1);
            for (;;)
                pause();
        }
        close(ready[1]);
        if (read(ready[0], &state_, 1) != 1)
            state_ = -1;
        close(ready[0]);
    }
    ~Holder() { kill_now(); }

    int state() const { return state_; }
    void kill_now()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    char state_ = -1;
};

TEST(UpdateLock, OneHolderAtATimeUntilItReleases)
{
    TestRegistry reg;
    const std::string interface = reg.add_device("dev0", "qel", { "global" }) + "/render/global";
    UpdateLock lock;
    ASSERT_EQ(UpdateLock::Held, lock.take(interface.c_str()));
    struct stat st;
    ASSERT_EQ(0, stat((reg.root() + "/dev0/update.lock").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    EXPECT_EQ(UpdateLock::Busy, state_in_child(interface));
    lock.release();
    EXPECT_EQ(UpdateLock::Released, lock.state());
    EXPECT_EQ(UpdateLock::Held, state_in_child(interface));
}

TEST(UpdateLock, AKilledHolderBlocksNobody)
{
    TestRegistry reg;
    const std::string interface = reg.add_device("dev0", "qel", { "global" }) + "/render/global";
    Holder holder(interface);
    ASSERT_EQ(UpdateLock::Held, holder.state());
    UpdateLock lock;
    EXPECT_EQ(UpdateLock::Busy, lock.take(interface.c_str()));
    EXPECT_TRUE(lock.busy());
    holder.kill_now();
    EXPECT_EQ(UpdateLock::Held, lock.take(interface.c_str()));
}

TEST(UpdateLock, OtherDevicesAreNotHeld)
{
    TestRegistry reg;
    const std::string a = reg.add_device("a", "qel", { "global" }) + "/render/global";
    const std::string b = reg.add_device("b", "qel", { "global" }) + "/render/global";
    Holder holder(a);
    ASSERT_EQ(UpdateLock::Held, holder.state());
    UpdateLock lock;
    EXPECT_EQ(UpdateLock::Held, lock.take(b.c_str()));
}

// No lock to be had is no reason to refuse an update: the caller goes ahead.
TEST(UpdateLock, UnavailableWhereNoLockFileCanBeMade)
{
    TestRegistry reg;
    const std::string dir = reg.add_device("dev0", "qel", { "global" });
    UpdateLock lock;
    EXPECT_EQ(UpdateLock::Unavailable, lock.take((reg.root() + "/gone/render/global").c_str()));
    EXPECT_NE(0u, lock.error());
    // A link in the lock's place is never followed.
    ASSERT_EQ(0, symlink((reg.base() + "/elsewhere").c_str(), (dir + "/update.lock").c_str()));
    EXPECT_EQ(UpdateLock::Unavailable, lock.take((dir + "/render/global").c_str()));
    struct stat st;
    EXPECT_NE(0, lstat((reg.base() + "/elsewhere").c_str(), &st));
    EXPECT_EQ(UpdateLock::Unavailable, lock.take("global"));
}

struct PathCase {
    const char *interface;
    const char *lock;
};

class LockPath : public testing::TestWithParam<PathCase> {};

TEST_P(LockPath, BesideTheDevicesServiceFile)
{
    EXPECT_EQ(GetParam().lock, UpdateLock::path_for(GetParam().interface));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LockPath,
    testing::Values(PathCase{ "/run/user/1000/qel-devices/desk/render/global",
                              "/run/user/1000/qel-devices/desk/update.lock" },
                    PathCase{ "/r/d/render/x", "/r/d/update.lock" },
                    PathCase{ "/r/d/other/global", "" },
                    PathCase{ "/render/global", "" },
                    PathCase{ "global", "" },
                    PathCase{ "", "" },
                    PathCase{ nullptr, "" }));

} // namespace
