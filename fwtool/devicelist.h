// The Qel devices present, as qel-fwtool names them: on Linux the name of the
// device's entry in the registry, elsewhere its interface path.
#ifndef FWTOOL_DEVICELIST_H
#define FWTOOL_DEVICELIST_H

#include <string>
#include <vector>

#include "usbdevs.h"

namespace fwtool {

struct DeviceEntry {
    std::string name;
    std::vector<usbdevs_char> path;   // NUL-terminated interface path
};

// In enumeration order. False when the device list cannot be had.
bool list_devices(std::vector<DeviceEntry> *out);

// Why the device list cannot be had, as a sentence for the user (paths
// escaped for the terminal when shown is set); empty when nothing is known
// to be wrong.
std::string registry_problem(bool shown);

// The devices that --device NAME means: the one of that name, or else those
// whose name as the terminal shows it (escaped) is NAME, so that a device
// with control characters in its name can still be chosen.
std::vector<DeviceEntry> devices_named(const std::vector<DeviceEntry> &devices,
                                       const std::string &name);

// Whether the interface at path is still listed.
bool device_present(const std::vector<usbdevs_char> &path);

} // namespace fwtool

#endif
