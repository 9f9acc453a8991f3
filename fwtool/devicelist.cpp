#include "devicelist.h"

#include <cerrno>
#include <cstring>
#include <set>

#include "textescape.h"
#ifndef _WIN32
#include "usbdevs_os.h"
#endif

namespace fwtool {

namespace {

std::string name_for(const usbdevs_char *path)
{
#ifdef _WIN32
    std::string name;
    for (const usbdevs_char *p = path; *p; ++p)
        name += *p < 0x80 ? char(*p) : '?';
    return name;
#else
    // <root>/<entry>/render/<interface>: the entry is two levels up.
    const std::string s(path);
    const size_t iface = s.rfind('/');
    const size_t render = iface == std::string::npos || iface == 0 ? std::string::npos
                                                                   : s.rfind('/', iface - 1);
    const size_t entry = render == std::string::npos || render == 0 ? std::string::npos
                                                                    : s.rfind('/', render - 1);
    if (entry == std::string::npos)
        return s;
    return s.substr(entry + 1, render - entry - 1);
#endif
}

} // namespace

bool list_devices(std::vector<DeviceEntry> *out)
{
    out->clear();
    const int count = usbdevs_list(nullptr, 0);
    if (count < 0)
        return false;
    std::vector<usbdevs_entry> entries(size_t(count) + 1);
    const int got = usbdevs_list(entries.data(), int(entries.size()));
    if (got < 0)
        return false;
    std::set<std::string> taken;
    for (int i = 0; i < got && i < int(entries.size()); ++i) {
        const usbdevs_char *p = entries[size_t(i)].path;
        DeviceEntry e;
        e.name = name_for(p);
        // A device with two matching interfaces still gives two distinct names.
        for (int n = 2; taken.count(e.name); ++n)
            e.name = name_for(p) + "#" + std::to_string(n);
        taken.insert(e.name);
        size_t len = 0;
        while (p[len])
            ++len;
        e.path.assign(p, p + len + 1);
        out->push_back(std::move(e));
    }
    return true;
}

bool device_present(const std::vector<usbdevs_char> &path)
{
    std::vector<DeviceEntry> now;
    if (!list_devices(&now))
        return false;
    for (const DeviceEntry &e : now)
        if (e.path == path)
            return true;
    return false;
}

std::string registry_problem(bool shown)
{
#ifdef _WIN32
    (void)shown;
    return std::string();
#else
    std::string root;
    const int state = usbdevs_posix_registry_state(&root);
    const int error = errno;
    const std::string path = shown ? escape_terminal_text(root) : root;
    switch (state) {
    case USBDEVS_REGISTRY_FOREIGN:
        return "The device registry " + path + " is not yours; remove it or set XDG_RUNTIME_DIR.";
    case USBDEVS_REGISTRY_OPEN:
        return "The device registry " + path
               + " may be written by other users; chmod 700 it, remove it or set XDG_RUNTIME_DIR.";
    case USBDEVS_REGISTRY_UNREADABLE:
        return "The device registry " + path + " cannot be read: " + std::strerror(error) + ".";
    default:
        return std::string();
    }
#endif
}

std::vector<DeviceEntry> devices_named(const std::vector<DeviceEntry> &devices,
                                       const std::string &name)
{
    std::vector<DeviceEntry> exact, escaped;
    for (const DeviceEntry &d : devices) {
        if (d.name == name)
            exact.push_back(d);
        else if (escape_terminal_text(d.name) == name)
            escaped.push_back(d);
    }
    return exact.empty() ? escaped : exact;
}

} // namespace fwtool
