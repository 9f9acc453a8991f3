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

// Whether the interface at path is still listed.
bool device_present(const std::vector<usbdevs_char> &path);

} // namespace fwtool

#endif
