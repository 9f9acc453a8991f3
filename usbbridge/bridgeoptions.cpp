#include "bridgeoptions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "qelusbids.h"

namespace usbbridge {

namespace {

bool parse_hex4(const std::string &text, size_t at, uint16_t *out)
{
    if (text.size() < at + 4)
        return false;
    unsigned v = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isxdigit(c))
            return false;
        v = v * 16 + static_cast<unsigned>(std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    *out = static_cast<uint16_t>(v);
    return true;
}

bool valid_port(const std::string &text)
{
    // BUS-P[.P]...: decimal numbers, a dash after the bus, dots between ports.
    const size_t dash = text.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 >= text.size())
        return false;
    bool digit_before = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            digit_before = true;
        } else if ((c == '.' && i > dash) || i == dash) {
            if (!digit_before)
                return false;
            digit_before = false;
        } else {
            return false;
        }
    }
    return digit_before;
}

std::string hex4(uint16_t v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

} // namespace

bool parse_id(const std::string &text, UsbId *id)
{
    return text.size() == 9 && text[4] == ':' && parse_hex4(text, 0, &id->vendor)
           && parse_hex4(text, 5, &id->product);
}

bool parse_id_table(const std::string &text, std::vector<UsbId> *ids, std::string *error)
{
    size_t start = 0;
    for (unsigned line_no = 1; start < text.size(); ++line_no) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        line.erase(std::find(line.begin(), line.end(), '#'), line.end());
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        UsbId id;
        const std::string word = line.substr(first, line.find_first_of(" \t\r", first) - first);
        if (!parse_id(word, &id)) {
            *error = "line " + std::to_string(line_no) + ": \"" + word + "\" is not VVVV:PPPP";
            return false;
        }
        ids->push_back(id);
    }
    return true;
}

const std::string &builtin_id_table()
{
    static const std::string table = k_qel_usb_ids;
    return table;
}

bool parse_options(int argc, char **argv, Options *options, std::string *error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            options->help = true;
        } else if (a == "--list") {
            options->list = true;
        } else if (a == "--udev-rule") {
            options->udev_rule = true;
        } else if (a == "--stop-with-stdin") {
            options->stop_with_stdin = true;
        } else if (a == "--id") {
            UsbId id;
            if (!has_value || !parse_id(argv[i + 1], &id)) {
                *error = "--id takes VVVV:PPPP (hexadecimal vendor and product IDs)";
                return false;
            }
            options->ids.push_back(id);
            ++i;
        } else if (a == "--port") {
            if (!has_value || !valid_port(argv[i + 1])) {
                *error = "--port takes BUS-PORTS, such as 1-4.2";
                return false;
            }
            options->ports.push_back(argv[++i]);
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

std::string usage()
{
    return "Usage: qel-usb-bridge [--id VVVV:PPPP]... [--port BUS-PORTS]... [--stop-with-stdin]\n"
           "       qel-usb-bridge --list\n"
           "       qel-usb-bridge --udev-rule [--id VVVV:PPPP]...\n"
           "\n"
           "Serves Qel USB audio devices to the Qel firmware updater: each selected device\n"
           "gets an entry in the user's device registry, and the updater's requests become\n"
           "vendor control transfers on the device. Only audio-class devices are served, and\n"
           "only those selected by --id, by --port (the physical port path, as --list\n"
           "shows it) or by the built-in ID table.\n"
           "\n"
           "  --id VVVV:PPPP   serve devices with these vendor and product IDs (repeatable)\n"
           "  --port BUS-PORTS serve the device plugged into this port, e.g. 1-4.2 (repeatable)\n"
           "  --stop-with-stdin\n"
           "                   stop also once standard input ends (the launcher holds it open)\n"
           "  --list           list the audio-class USB devices present, then exit\n"
           "  --udev-rule      print the udev rule that gives you access to the selected IDs\n"
           "                   (or the table's), for /etc/udev/rules.d/71-qel-usb-local.rules\n"
           "  --help           this text\n"
           "\n"
           "Stops on SIGINT, SIGTERM, SIGHUP or SIGQUIT and removes its registry entries;\n"
           "while an update of one of its devices runs (its update.lock is held) it goes on\n"
           "serving until the update has ended, at most 10 minutes. One bridge serves a\n"
           "session: a second one exits at once, or waits while the first is stopping.\n"
           "Entries left by a bridge that was killed are removed at the start.\n"
           "\n"
           "Exit status: 0 stopped by a signal, or --list, --udev-rule or --help done;\n"
           "1 failure; 2 bad usage or nothing selected; 3 another bridge already runs.\n"
           "\n"
           "This program uses libusb, licensed under the GNU Lesser General Public License,\n"
           "version 2.1.\n";
}

std::string port_path(uint8_t bus, const uint8_t *ports, int count)
{
    std::string s = std::to_string(bus) + "-";
    for (int i = 0; i < count; ++i)
        s += (i ? "." : "") + std::to_string(ports[i]);
    return s;
}

bool selected(const Options &options, const std::vector<UsbId> &table, UsbId id,
              const std::string &port)
{
    const auto has = [id](const std::vector<UsbId> &v) {
        return std::find(v.begin(), v.end(), id) != v.end();
    };
    return has(options.ids) || has(table)
           || std::find(options.ports.begin(), options.ports.end(), port) != options.ports.end();
}

std::string udev_rule(const std::vector<UsbId> &ids)
{
    std::string s = "# Qel USB audio devices: access for the logged-in user (qel-usb-bridge).\n";
    for (const UsbId &id : ids)
        s += "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"" + hex4(id.vendor) + "\", ATTRS{idProduct}==\""
             + hex4(id.product) + "\", TAG+=\"uaccess\"\n";
    return s;
}

} // namespace usbbridge
