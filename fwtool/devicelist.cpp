#include "devicelist.h"

#include <set>

#include "devicesys.h"
#include "textescape.h"

namespace fwtool {

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
        e.name = device_name(p);
        // A device with two matching interfaces still gives two distinct names.
        for (int n = 2; taken.count(e.name); ++n)
            e.name = device_name(p) + "#" + std::to_string(n);
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

std::vector<DeviceEntry> devices_named(const std::vector<DeviceEntry> &devices,
                                       const std::string &name)
{
    std::vector<DeviceEntry> exact, escaped;
    for (const DeviceEntry &d : devices) {
        if (same_device_name(d.name, name))
            exact.push_back(d);
        else if (escape_terminal_text(d.name) == name)
            escaped.push_back(d);
    }
    return exact.empty() ? escaped : exact;
}

} // namespace fwtool
