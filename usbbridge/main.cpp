// qel-usb-bridge: the driver side of the device channel for real Qel devices
// on Linux. Each selected USB device gets a registry entry; the updater's
// requests become vendor control transfers on the device's endpoint 0.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "bridge.h"
#include "bridgeoptions.h"
#include "sessionlock.h"
#include "usbdevs_os.h"

namespace {

int g_stop_pipe[2] = { -1, -1 };

void on_signal(int)
{
    const char byte = 1;
    const ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
    (void)ignored;
}

bool install_signals()
{
    if (pipe(g_stop_pipe) != 0)
        return false;
    for (int fd : g_stop_pipe)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(g_stop_pipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

const char k_how_to_select[] =
    "qel-usb-bridge: no device selected, and the built-in ID table is empty.\n"
    "Find your device with\n"
    "  qel-usb-bridge --list\n"
    "then select it by its IDs or by its port:\n"
    "  qel-usb-bridge --id VVVV:PPPP\n"
    "  qel-usb-bridge --port BUS-PORTS\n"
    "Try --help.\n";

} // namespace

int main(int argc, char **argv)
{
    usbbridge::Options options;
    std::string error;
    if (!usbbridge::parse_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "qel-usb-bridge: %s\nTry --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usbbridge::usage().c_str(), stdout);
        return 0;
    }
    std::vector<usbbridge::UsbId> table;
    if (!usbbridge::parse_id_table(usbbridge::builtin_id_table(), &table, &error)) {
        std::fprintf(stderr, "qel-usb-bridge: the built-in ID table, %s\n", error.c_str());
        return 1;
    }
    if (options.udev_rule) {
        const std::vector<usbbridge::UsbId> &ids = options.ids.empty() ? table : options.ids;
        if (ids.empty()) {
            std::fputs(k_how_to_select, stderr);
            return 2;
        }
        std::fputs(usbbridge::udev_rule(ids).c_str(), stdout);
        return 0;
    }
    if (!options.list && options.ids.empty() && options.ports.empty() && table.empty()) {
        std::fputs(k_how_to_select, stderr);
        return 2;
    }
    if (!install_signals()) {
        std::fprintf(stderr, "qel-usb-bridge: pipe: %s\n", std::strerror(errno));
        return 1;
    }

    const std::string root = usbdevs_posix_registry_root();
    usbbridge::SessionLock lock;
    if (!options.list) {
        switch (lock.take(root, &error)) {
        case usbbridge::SessionLock::TAKEN:
            break;
        case usbbridge::SessionLock::HELD_ELSEWHERE:
            std::fprintf(stderr, "qel-usb-bridge: another qel-usb-bridge already serves this session's "
                                 "devices (registry %s); nothing to do\n", root.c_str());
            return 3;
        case usbbridge::SessionLock::FAILED:
            std::fprintf(stderr, "qel-usb-bridge: %s\n", error.c_str());
            return 1;
        }
    }
    usbbridge::Bridge bridge(options, table, g_stop_pipe[0], root);
    if (!bridge.init(&error)) {
        std::fprintf(stderr, "qel-usb-bridge: %s\n", error.c_str());
        return 1;
    }
    if (options.list)
        return bridge.list();
    const int status = bridge.run();
    return status;
}
