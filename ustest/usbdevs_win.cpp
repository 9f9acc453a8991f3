// The platform side of usbdevs on Windows: SetupAPI finds the driver's
// audio-rendering interfaces, the driver's private channel is opened with
// CreateFileW and each request is one synchronous DeviceIoControl.
#include <windows.h>
// ks.h needs the types of windows.h.
#include <ks.h>
#include <setupapi.h>

#include <string>

#include "usbdevs_os.h"
#include "ustrace.h"

// Older mingw-w64 headers lack it.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

namespace {

const GUID k_render_category = { STATIC_KSCATEGORY_RENDER };

HANDLE to_handle(usbdevs_handle h)
{
    return static_cast<HANDLE>(h);
}

} // namespace

struct usbdevs_os_list {
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    SP_DEVICE_INTERFACE_DATA iface;
};

usbdevs_os_list *usbdevs_os_devices(void)
{
    HDEVINFO set = SetupDiGetClassDevsW(&k_render_category, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return nullptr;
    usbdevs_os_list *list = new usbdevs_os_list;
    list->set = set;
    return list;
}

void usbdevs_os_devices_free(usbdevs_os_list *list)
{
    if (!list)
        return;
    SetupDiDestroyDeviceInfoList(list->set);
    delete list;
}

bool usbdevs_os_device(usbdevs_os_list *list, uint32_t device)
{
    ZeroMemory(&list->device, sizeof list->device);
    list->device.cbSize = sizeof list->device;
    return SetupDiEnumDeviceInfo(list->set, device, &list->device) != FALSE;
}

bool usbdevs_os_service(usbdevs_os_list *list, usbdevs_char *name, uint32_t bytes)
{
    return SetupDiGetDeviceRegistryPropertyW(list->set, &list->device, SPDRP_SERVICE, nullptr,
                                             reinterpret_cast<PBYTE>(name), bytes, nullptr)
           != FALSE;
}

bool usbdevs_os_interface(usbdevs_os_list *list, uint32_t member)
{
    ZeroMemory(&list->iface, sizeof list->iface);
    list->iface.cbSize = sizeof list->iface;
    return SetupDiEnumDeviceInterfaces(list->set, &list->device, &k_render_category, member,
                                       &list->iface)
           != FALSE;
}

uint32_t usbdevs_os_detail_size(usbdevs_os_list *list)
{
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(list->set, &list->iface, nullptr, 0, &required,
                                     nullptr);
    return required;
}

const usbdevs_char *usbdevs_os_detail(usbdevs_os_list *list, void *record, uint32_t size,
                                      size_t *max_chars)
{
    const size_t path_offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nullptr;
    }
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(record);
    // The size of the fixed part as this build lays it out: 6 only where
    // the record is packed (32-bit), 8 in 64-bit builds, which refuse 6.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list->set, &list->iface, detail, size, nullptr,
                                          nullptr))
        return nullptr;
    *max_chars = (size - path_offset) / sizeof(WCHAR);
    return detail->DevicePath;
}

usbdevs_handle usbdevs_os_channel_open(const usbdevs_char *path)
{
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? USBDEVS_INVALID_HANDLE : static_cast<usbdevs_handle>(h);
}

bool usbdevs_os_channel_ioctl(usbdevs_handle handle, uint32_t code, const void *in,
                              uint32_t in_length, void *out, uint32_t out_length,
                              uint32_t *returned)
{
    DWORD count = 0;
    if (!DeviceIoControl(to_handle(handle), code, const_cast<void *>(in), in_length, out,
                         out_length, &count, nullptr))
        return false;
    *returned = count;
    return true;
}

void usbdevs_os_channel_close(usbdevs_handle handle)
{
    if (handle != USBDEVS_INVALID_HANDLE)
        CloseHandle(to_handle(handle));
}

void *usbdevs_os_page_alloc(size_t size)
{
    return VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE);
}

void usbdevs_os_page_free(void *pages, size_t)
{
    if (pages)
        VirtualFree(pages, 0, MEM_RELEASE);
}

// \\?\ROOT#QEL#0000#{interface class}\reference: the instance id is the part
// before the class, with '#' where the id has its backslashes; SetupAPI
// spells ids in capitals.
std::string usbdevs_os_device_name(const usbdevs_char *path)
{
    std::wstring s = path ? path : L"";
    if (s.compare(0, 4, L"\\\\?\\") == 0 || s.compare(0, 4, L"\\\\.\\") == 0)
        s.erase(0, 4);
    const size_t reference = s.find(L'\\');
    if (reference != std::wstring::npos)
        s.resize(reference);
    const size_t klass = s.rfind(L"#{");
    if (klass != std::wstring::npos)
        s.resize(klass);
    for (wchar_t &c : s) {
        if (c == L'#')
            c = L'\\';
        else if (c >= L'a' && c <= L'z')
            c = wchar_t(c - L'a' + L'A');
    }
    if (s.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, s.c_str(), int(s.size()), nullptr, 0, nullptr,
                                      nullptr);
    if (n <= 0)
        return std::string();
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.c_str(), int(s.size()), &out[0], n, nullptr, nullptr);
    return out;
}

uint32_t usbdevs_os_last_error(void)
{
    return GetLastError();
}

us_cause usbdevs_os_cause(uint32_t code)
{
    switch (code) {
    case ERROR_SUCCESS:
        return US_CAUSE_NONE;
    // The interface path names nothing any more, or the driver says its
    // device has left.
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
    case ERROR_NO_SUCH_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return US_CAUSE_GONE;
    case ERROR_ACCESS_DENIED:
        return US_CAUSE_NO_ACCESS;
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT:
        return US_CAUSE_TIMEOUT;
    case ERROR_BUSY:
    case ERROR_SHARING_VIOLATION:
        return US_CAUSE_BUSY;
    case ERROR_INVALID_DATA:
        return US_CAUSE_MALFORMED;
    default:   // a stall (ERROR_GEN_FAILURE), an unsupported request, ...
        return US_CAUSE_REFUSED;
    }
}

bool usbdevs_os_print_error_text(uint32_t code)
{
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0x400, reinterpret_cast<LPWSTR>(&text), 0,
                                   nullptr);
    if (n == 0 || !text)
        return false;
    // The trace is UTF-8 text, whatever the console shows.
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, int(n), nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
        std::string utf8(size_t(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text, int(n), &utf8[0], bytes, nullptr, nullptr);
        us_trace(utf8.data(), utf8.size());
    }
    LocalFree(text);
    return bytes > 0;
}

void usbdevs_os_print_error_number(int number)
{
    us_tracef("ERROR : %d\n", number);
}

void usbdevs_os_print_error_code(uint32_t code)
{
    us_tracef("GetLastError() = %#x\n", static_cast<unsigned>(code));
}
