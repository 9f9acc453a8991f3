// Device names on Windows: the device instance id, as SetupAPI reports it
// (ROOT\QEL\0000, USB\VID_...\...). The interface path alone would serve as
// well, but nobody can type it, and it changes with the interface's reference
// string.
#include "devicesys.h"

#include <windows.h>
#include <cfgmgr32.h>
// ks.h needs the types of windows.h.
#include <ks.h>
#include <setupapi.h>

#include <vector>

namespace fwtool {

namespace {

const GUID k_render_category = { STATIC_KSCATEGORY_RENDER };

std::string utf8(const wchar_t *text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(size_t(n - 1));
    return out;
}

// Asked of SetupAPI: the device that has an interface at this path, found
// the way the device list finds its interfaces. (Opening the interface by
// its path would be shorter, but wine answers that with a failure.)
std::wstring instance_id_of(const wchar_t *path)
{
    HDEVINFO set = SetupDiGetClassDevsW(&k_render_category, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return std::wstring();
    std::wstring id;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD d = 0; id.empty() && SetupDiEnumDeviceInfo(set, d, &device); ++d) {
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof iface;
        for (DWORD m = 0; id.empty()
                          && SetupDiEnumDeviceInterfaces(set, &device, &k_render_category, m, &iface);
             ++m) {
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
            if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
                continue;
            std::vector<unsigned char> record(required);
            auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(record.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, nullptr)
                || lstrcmpiW(detail->DevicePath, path) != 0)
                continue;
            wchar_t buffer[MAX_DEVICE_ID_LEN + 1] = {};
            if (SetupDiGetDeviceInstanceIdW(set, &device, buffer, MAX_DEVICE_ID_LEN + 1, nullptr))
                id = buffer;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return id;
}

char folded(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

} // namespace

std::string device_name(const usbdevs_char *path)
{
    // Only for an interface SetupAPI no longer lists, such as one that went
    // away meanwhile, is the id read off its path.
    const std::wstring id = instance_id_of(path);
    if (!id.empty())
        return utf8(id.c_str());
    const std::string named = usbdevs_device_name(path);
    return named.empty() ? utf8(path) : named;
}

// Windows compares instance ids without regard to case, and so does a user
// who types one.
bool same_device_name(const std::string &name, const std::string &given)
{
    if (name.size() != given.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (folded(name[i]) != folded(given[i]))
            return false;
    return true;
}

std::string registry_problem(bool)
{
    return std::string();
}

} // namespace fwtool
