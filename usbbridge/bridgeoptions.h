// What qel-usb-bridge is told on its command line, and which USB devices that
// selects. A vendor request means something else to another device, so a
// device is served only when it is an audio device and explicitly chosen: by
// its IDs, by the port it is plugged into, or by the built-in ID table.
#ifndef USBBRIDGE_BRIDGEOPTIONS_H
#define USBBRIDGE_BRIDGEOPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace usbbridge {

struct UsbId {
    uint16_t vendor = 0;
    uint16_t product = 0;
    bool operator==(const UsbId &o) const { return vendor == o.vendor && product == o.product; }
};

struct Options {
    bool help = false;
    bool list = false;
    bool udev_rule = false;
    bool stop_with_stdin = false;      // the end of standard input asks for a stop
    std::vector<UsbId> ids;            // --id
    std::vector<std::string> ports;    // --port, as "BUS-PORTS"
};

// "VVVV:PPPP" (hexadecimal, four digits each).
bool parse_id(const std::string &text, UsbId *id);

// The ID table: one "VVVV:PPPP  description" a line, '#' comments and blank
// lines skipped. False with *error naming the first bad line.
bool parse_id_table(const std::string &text, std::vector<UsbId> *ids, std::string *error);

// The table built into the program.
const std::string &builtin_id_table();

bool parse_options(int argc, char **argv, Options *options, std::string *error);
std::string usage();

// "BUS-P1.P2...", the physical port path as the kernel names it.
std::string port_path(uint8_t bus, const uint8_t *ports, int count);

// Whether a device with an audio-class interface is served.
bool selected(const Options &options, const std::vector<UsbId> &table, UsbId id,
              const std::string &port);

// The udev rule granting the logged-in user access to these devices.
std::string udev_rule(const std::vector<UsbId> &ids);

} // namespace usbbridge

#endif
