// Device names and the device registry's state outside Windows.
#include "devicesys.h"

#include <cerrno>
#include <cstring>

#include "textescape.h"
#include "usbdevs_os.h"

namespace fwtool {

std::string device_name(const usbdevs_char *path)
{
    return usbdevs_device_name(path);
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
