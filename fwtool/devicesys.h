// What the system decides about the device list as qel-fwtool shows it: a
// device's name, how names compare, and why no list could be had.
// devicesys_posix.cpp names a device after its entry in the device registry;
// devicesys_win.cpp after its device instance id, which stays the same for
// as long as the device stays plugged in.
#ifndef FWTOOL_DEVICESYS_H
#define FWTOOL_DEVICESYS_H

#include <string>

#include "usbdevs.h"

namespace fwtool {

// The name of the device behind an interface path as the device list gives
// it, as UTF-8.
std::string device_name(const usbdevs_char *interface_path);

// Whether a name given on the command line is this device's name.
bool same_device_name(const std::string &name, const std::string &given);

// Why the device list cannot be had, as a sentence for the user (paths
// escaped for the terminal when shown is set); empty when nothing is known
// to be wrong.
std::string registry_problem(bool shown);

} // namespace fwtool

#endif
