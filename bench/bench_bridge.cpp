// What the USB bridge adds to each request, and what it costs when idle: the
// device layer's version command (one OUT and one IN control message, so two
// channel requests) against qel-devsim, then against an emulated USB device
// through the real bridge and libusb under umockdev (the device opened for
// each request, then with the update lock held, as during an update, when
// the bridge keeps it open); then the bridge's CPU time over 10 s with
// nothing to do.
//
//   bench_bridge [commands]
//
// Under umockdev libusb polls without pause while a transfer is in flight,
// so the bridge's figure is an upper bound of what hardware would show, and
// says nothing of the device's own time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "childprocess.h"
#include "silence.h"
#include "testdriver.h"
#include "usbfsmock.h"
#include "usctl.h"
#include "ussleep.h"

namespace {

using Clock = std::chrono::steady_clock;

void no_sleep(unsigned) {}

// Microseconds per command, or a negative number when a command failed.
double per_command_us(unsigned commands)
{
    usctl_device dev{};
    usctl_handle handle = nullptr;
    double result = -1;
    Silence silence;
    if (usctl_init(&dev) == 0 && usctl_open(&dev, &handle) == 0) {
        uint16_t version = 0;
        const auto start = Clock::now();
        unsigned done = 0;
        while (done < commands && usctl_get_version(&handle, &version) == 0)
            ++done;
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (done == commands)
            result = us / commands;
    }
    usctl_exit(&dev);
    return result;
}

long cpu_ticks(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(end + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)   // state .. cmajflt
        fields >> skip;
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

} // namespace

int main(int argc, char **argv)
{
    const unsigned commands = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 2000;
    us_set_sleep(&no_sleep);
    TestRegistry registry;

    double devsim_us = -1;
    {
        ChildProcess devsim(QEL_DEVSIM_PATH, { "--instance", "bench" });
        if (devsim.await("ready:").rfind("<no line", 0) == 0) {
            std::fprintf(stderr, "qel-devsim did not start: %s\n", devsim.output().c_str());
            return 1;
        }
        devsim_us = per_command_us(commands);
    }

    UsbfsMock mock;
    UsbfsMock::DeviceSetup setup;
    setup.port = "1-1";
    setup.config.keep_log = false;
    mock.add(setup);
    ChildProcess bridge(QEL_USB_BRIDGE_PATH, { "--id", "1209:0001" }, mock.child_env(), true);
    if (bridge.await("ready: ").rfind("<no line", 0) == 0) {
        std::fprintf(stderr, "qel-usb-bridge did not start: %s\n", bridge.output().c_str());
        return 1;
    }
    const double bridge_us = per_command_us(commands);
    // During an update the updater holds the device's update lock, and the
    // bridge keeps the device open from one request to the next.
    double updating_us = -1;
    {
        const int fd = open((registry.root() + "/usb-1-1/update.lock").c_str(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0)
            updating_us = per_command_us(commands);
        if (fd >= 0)
            close(fd);
    }

    const long before = cpu_ticks(bridge.pid());
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const long idle = cpu_ticks(bridge.pid()) - before;
    bridge.stop();

    std::printf("version command (2 channel requests), %u commands each\n", commands);
    std::printf("  qel-devsim:               %8.1f us a command\n", devsim_us);
    std::printf("  qel-usb-bridge, umockdev: %8.1f us a command (%u control URBs in all)\n", bridge_us,
                mock.counts("1-1").urbs);
    std::printf("    with the update lock held: %8.1f us a command (the device kept open)\n",
                updating_us);
    if (devsim_us > 0 && bridge_us > 0)
        std::printf("  the bridge adds           %8.1f us a command\n", bridge_us - devsim_us);
    std::printf("qel-usb-bridge idle for 10 s: %ld CPU ticks (%ld per second)\n", idle, sysconf(_SC_CLK_TCK));
    return devsim_us > 0 && bridge_us > 0 ? 0 : 1;
}
