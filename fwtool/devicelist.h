// The Qel devices present, as qel-fwtool names them: on Linux the name of the
// device's entry in the registry, on Windows its device instance id.
#ifndef FWTOOL_DEVICELIST_H
#define FWTOOL_DEVICELIST_H

#include <string>
#include <vector>

#include "devicesys.h"
#include "usbdevs.h"

namespace fwtool {

struct DeviceEntry {
    std::string name;
    std::vector<usbdevs_char> path;   // NUL-terminated interface path
};

// In enumeration order. False when the device list cannot be had.
bool list_devices(std::vector<DeviceEntry> *out);

// The devices that --device NAME means: the one of that name (as
// same_device_name compares them), or else those whose name as the terminal
// shows it (escaped) is NAME, so that a device with control characters in
// its name can still be chosen.
std::vector<DeviceEntry> devices_named(const std::vector<DeviceEntry> &devices,
                                       const std::string &name);

// Whether the interface at path is still listed.
bool device_present(const std::vector<usbdevs_char> &path);

} // namespace fwtool

#endif
