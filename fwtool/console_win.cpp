// The console seam on Windows: the console's control handler, console modes
// and the standard handles. Redirected streams (a file, a pipe) get the same
// bytes as on Linux; on a console the text goes in as UTF-16, which shows it
// whatever the console's code page.
#include "console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cwchar>

namespace fwtool {

namespace {

// Whether an interruption may still end the program.
enum : int { k_open, k_protected, k_leaving };
std::atomic<int> g_state{k_open};
std::atomic<int> g_warned{0};
// Set while no update is running, for the close handler to wait on.
HANDLE g_idle = nullptr;

const char k_warning[] = "An update is running; stopping now could leave the device unusable. "
                         "It will finish by itself.\n";

std::wstring wide(const char *text, size_t length)
{
    if (length == 0)
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, int(length), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text, int(length), &out[0], n);
    return out;
}

std::string utf8(const wchar_t *text, int length)
{
    if (length <= 0)
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
    return out;
}

bool is_console(HANDLE h)
{
    DWORD mode = 0;
    return h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != FALSE;
}

void write_handle(HANDLE h, const char *p, size_t left)
{
    if (!h || h == INVALID_HANDLE_VALUE)
        return;
    if (is_console(h)) {
        const std::wstring text = wide(p, left);
        const wchar_t *w = text.data();
        size_t rest = text.size();
        while (rest > 0) {
            DWORD done = 0;
            if (!WriteConsoleW(h, w, DWORD(rest < 16384 ? rest : 16384), &done, nullptr) || done == 0)
                return;
            w += done;
            rest -= done;
        }
        return;
    }
    while (left > 0) {
        DWORD done = 0;
        // A pipe whose reader has gone fails here (ERROR_NO_DATA): dropped.
        if (!WriteFile(h, p, DWORD(left < (1u << 30) ? left : (1u << 30)), &done, nullptr)
            || done == 0)
            return;
        p += done;
        left -= done;
    }
}

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI on_control(DWORD event)
{
    const bool keyboard = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    int state = g_state.load();
    if (state == k_open) {
        // Nothing has been written: the keyboard ends the program at once,
        // and a closed window or a logoff has its usual effect.
        if (!keyboard)
            return FALSE;
        if (g_state.compare_exchange_strong(state, k_leaving))
            TerminateProcess(GetCurrentProcess(), 130);
    }
    if (state != k_protected)
        return TRUE;
    if (g_warned.exchange(1) == 0)
        write_handle(GetStdHandle(STD_ERROR_HANDLE), k_warning, sizeof k_warning - 1);
    // Windows ends the process once the handler of a closed window, logoff
    // or shutdown returns, and after a few seconds even if it does not: this
    // is as long as the update can be kept going.
    if (!keyboard && g_idle)
        WaitForSingleObject(g_idle, INFINITE);
    return TRUE;
}

} // namespace

std::vector<std::string> command_arguments(int, char **)
{
    std::vector<std::string> args;
    int count = 0;
    wchar_t **wargs = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wargs)
        return args;
    for (int i = 1; i < count; ++i)
        args.push_back(utf8(wargs[i], int(wcslen(wargs[i]))));
    LocalFree(wargs);
    return args;
}

void interrupt_install()
{
    g_idle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    SetConsoleCtrlHandler(on_control, TRUE);
}

void interrupt_protect(bool on)
{
    if (on) {
        int state = k_open;
        if (!g_state.compare_exchange_strong(state, k_protected) && state == k_leaving) {
            // Ctrl+C came first and the process is on its way out: not a
            // byte more goes to the device.
            for (;;)
                Sleep(INFINITE);
        }
        if (g_idle)
            ResetEvent(g_idle);
        return;
    }
    int state = k_protected;
    g_state.compare_exchange_strong(state, k_open);
    if (g_idle)
        SetEvent(g_idle);
}

bool stdin_is_terminal()
{
    return is_console(GetStdHandle(STD_INPUT_HANDLE));
}

bool stderr_is_terminal()
{
    return is_console(GetStdHandle(STD_ERROR_HANDLE));
}

std::FILE *create_text_file(const std::string &path)
{
    // Text mode, as the trace would be on the console: lines end in CR LF.
    return _wfopen(wide(path.data(), path.size()).c_str(), L"wtN");
}

void write_raw(Stream stream, const char *bytes, size_t length)
{
    if (stream == Stream::Err) {
        write_handle(GetStdHandle(STD_ERROR_HANDLE), bytes, length);
        return;
    }
    write_handle(GetStdHandle(STD_OUTPUT_HANDLE), bytes, length);
}

// The console obeys no escape sequence to clear the rest of a line unless
// asked to, which older Windows cannot: a shorter line is padded instead.
std::string redrawn_line(const std::string &line, size_t previous)
{
    const size_t pad = previous > line.size() ? previous - line.size() : 0;
    return "\r" + line + std::string(pad, ' ');
}

std::string erased_line(size_t previous)
{
    return "\r" + std::string(previous, ' ') + "\r";
}

std::string read_answer()
{
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    std::string answer;
    if (is_console(in)) {
        // The console hands out whole lines. Ctrl+C cuts a read short and
        // the control handler ends the program on a thread of its own: the
        // read is repeated so that the cut is not taken for an answer.
        std::wstring line;
        for (;;) {
            wchar_t buffer[256];
            DWORD got = 0;
            SetLastError(ERROR_SUCCESS);
            if (!ReadConsoleW(in, buffer, 256, &got, nullptr)) {
                if (GetLastError() == ERROR_OPERATION_ABORTED)
                    continue;
                break;
            }
            if (got == 0) {
                if (GetLastError() == ERROR_OPERATION_ABORTED)
                    continue;
                break;
            }
            line.append(buffer, got);
            const size_t end = line.find(L'\n');
            if (end != std::wstring::npos) {
                line.resize(end);
                break;
            }
        }
        return utf8(line.data(), int(line.size()));
    }
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0 || c == '\n')
            break;
        answer += c;
    }
    return answer;
}

} // namespace fwtool
