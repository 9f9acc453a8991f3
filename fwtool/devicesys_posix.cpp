// Device names and the device registry's state outside Windows.
#include "devicesys.h"

#include <cerrno>
#include <cstring>

#include "textescape.h"
#include "usbdevs_os.h"

namespace fwtool {

std::string device_name(const usbdevs_char *path)
{
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
}

bool same_device_name(const std::string &name, const std::string &given)
{
    return name == given;
}

std::string registry_problem(bool shown)
{
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
}

} // namespace fwtool
