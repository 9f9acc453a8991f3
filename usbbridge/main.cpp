// qel-usb-bridge: the driver side of the device channel for real Qel devices
// on Linux. Each selected USB device gets a registry entry; the updater's
// requests become vendor control transfers on the device's endpoint 0.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "bridge.h"
#include "bridgeoptions.h"
#include "sessionlock.h"
#include "stoprequest.h"
#include "usbdevs_os.h"

namespace {

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
    qeldriver::StopRequest stop;
    if (!stop.install(&error)) {
        std::fprintf(stderr, "qel-usb-bridge: %s\n", error.c_str());
        return 1;
    }
    if (options.stop_with_stdin)
        stop.watch_stdin();

    const std::string root = usbdevs_posix_registry_root();
    usbbridge::SessionLock lock;
    if (!options.list) {
        usbbridge::SessionLock::Outcome taken = lock.take(root, &error);
        if (taken == usbbridge::SessionLock::HOLDER_STOPPING) {
            // The session's bridge is stopping (its window has closed) and
            // may wait minutes for an update: this one serves once it has gone.
            std::fprintf(stderr, "qel-usb-bridge: the bridge that served this session is stopping; "
                                 "waiting for it to end\n");
            while (taken == usbbridge::SessionLock::HOLDER_STOPPING) {
                std::vector<pollfd> fds;
                stop.add_pollfds(&fds);
                if (poll(fds.data(), fds.size(), 100) > 0)
                    stop.take(fds.data());
                if (stop.requested())
                    return 0;
                taken = lock.take(root, &error);
            }
        }
        switch (taken) {
        case usbbridge::SessionLock::TAKEN:
        case usbbridge::SessionLock::HOLDER_STOPPING:
            break;
        case usbbridge::SessionLock::HELD_ELSEWHERE:
            std::fprintf(stderr, "qel-usb-bridge: another qel-usb-bridge already serves this session's "
                                 "devices (registry %s); nothing to do\n", root.c_str());
            return 3;
        case usbbridge::SessionLock::FAILED:
            std::fprintf(stderr, "qel-usb-bridge: %s\n", error.c_str());
            return 1;
        }
        // Only the session's one bridge may do this: the entries of a bridge
        // that was killed would otherwise block their devices for good.
        for (const std::string &name : lock.remove_stale_entries())
            std::fprintf(stderr, "qel-usb-bridge: removed %s/%s, left by a bridge that did not "
                                 "stop cleanly\n", root.c_str(), name.c_str());
    }
    // Declared after the lock, so destroyed before it: the entries are gone
    // before another bridge may take the session.
    usbbridge::Bridge bridge(options, table, &stop, root, [&lock] { lock.mark_stopping(); });
    if (!bridge.init(&error)) {
        std::fprintf(stderr, "qel-usb-bridge: %s\n", error.c_str());
        return 1;
    }
    if (options.list)
        return bridge.list();
    return bridge.run();
}
