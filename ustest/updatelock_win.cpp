// The update lock on Windows: a file named after the device's instance id in
// %LOCALAPPDATA%\QelUpdater, opened without sharing. A second opening fails
// with a sharing violation for as long as the first handle is open, and the
// system closes that handle when its holder dies.
#include "updatelock.h"

#include <windows.h>
#include <shlobj.h>

namespace {

// \\?\ROOT#MEDIA#0000#{interface class}\global: the instance id is the part
// before the class, with '#' where the id has its backslashes, which keeps it
// a single file name.
std::wstring instance_of(const wchar_t *interface_path)
{
    std::wstring s = interface_path ? interface_path : L"";
    if (s.compare(0, 4, L"\\\\?\\") == 0 || s.compare(0, 4, L"\\\\.\\") == 0)
        s.erase(0, 4);
    const size_t reference = s.find(L'\\');
    if (reference != std::wstring::npos)
        s.resize(reference);
    const size_t klass = s.rfind(L"#{");
    if (klass != std::wstring::npos)
        s.resize(klass);
    for (wchar_t &c : s)
        if (c < 0x20 || c == L':' || c == L'/' || c == L'*' || c == L'?' || c == L'"'
            || c == L'<' || c == L'>' || c == L'|')
            c = L'_';
    return s;
}

} // namespace

std::wstring UpdateLock::path_for(const wchar_t *interface_path)
{
    const std::wstring instance = instance_of(interface_path);
    wchar_t base[MAX_PATH];
    if (instance.empty() || SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base) != S_OK)
        return std::wstring();
    return std::wstring(base) + L"\\QelUpdater\\" + instance + L".lock";
}

UpdateLock::State UpdateLock::take(const wchar_t *interface_path)
{
    release();
    const std::wstring path = path_for(interface_path);
    if (path.empty()) {
        error_ = ERROR_INVALID_PARAMETER;
        return state_ = Unavailable;
    }
    CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error_ = GetLastError();
        return state_ = error_ == ERROR_SHARING_VIOLATION ? Busy : Unavailable;
    }
    handle_ = h;
    error_ = 0;
    return state_ = Held;
}

void UpdateLock::release()
{
    if (handle_)
        CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
    state_ = Released;
}
