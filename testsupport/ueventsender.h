// Device events for the programs that run under umockdev's preload library,
// sent the way udev announces a device to libudev monitors. umockdev's own
// sender first looks the device up through libudev, which in this process,
// not preloaded, sees the real sysfs instead of the testbed's, and so never
// sends: hot-plug would go untested.
#ifndef USBBRIDGE_TESTS_UEVENTSENDER_H
#define USBBRIDGE_TESTS_UEVENTSENDER_H

#include <string>
#include <vector>

namespace ueventsender {

struct Event {
    std::string action;       // "add", "remove"
    std::string devpath;      // below /sys: "/devices/1-1"
    std::string subsystem;    // "usb"
    std::string devtype;      // "usb_device"
    std::vector<std::string> properties;   // "KEY=value", as in the device's uevent file
};

// The KEY=value lines of a uevent file.
std::vector<std::string> read_properties(const std::string &uevent_file);

// Sends the event to every monitor socket in the testbed; the number reached.
int send(const std::string &testbed_root, const Event &event);

} // namespace ueventsender

#endif
