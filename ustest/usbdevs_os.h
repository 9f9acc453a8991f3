// The platform seam under usbdevs.cpp: everything the device-access logic
// asks of the operating system, and nothing more. usbdevs_win.cpp provides it
// with SetupAPI and the driver's I/O control channel; usbdevs_posix.cpp with a
// device registry in the file system and a Unix-socket channel per device.
// The selection rules, request layout, byte-count checks and diagnostics stay
// in usbdevs.cpp, so that they hold the same on every platform.
#ifndef USTEST_USBDEVS_OS_H
#define USTEST_USBDEVS_OS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "usbdevs.h"

#ifdef _WIN32
#define USBDEVS_TEXT(s) L##s
#define USBDEVS_SEPARATOR L'\\'
#else
#define USBDEVS_TEXT(s) s
#define USBDEVS_SEPARATOR '/'
#endif

// ---- Device list -------------------------------------------------------
// A snapshot of the present devices that expose an audio-rendering
// interface, with a cursor on one device and one of its interfaces.
struct usbdevs_os_list;

// Takes the list; null when the list cannot be had (the last error tells why).
usbdevs_os_list *usbdevs_os_devices(void);
// Releases the list; null is ignored.
void usbdevs_os_devices_free(usbdevs_os_list *list);

// Moves the cursor to device number `device` (0, 1, ... in enumeration
// order); false after the last device.
bool usbdevs_os_device(usbdevs_os_list *list, uint32_t device);

// Reads the current device's driver service name into name, offering at most
// `bytes` bytes, NUL included; false when it cannot be read or does not fit.
bool usbdevs_os_service(usbdevs_os_list *list, usbdevs_char *name, uint32_t bytes);

// Moves the cursor to interface number `member` of the current device; false
// after the last one.
bool usbdevs_os_interface(usbdevs_os_list *list, uint32_t member);

// The size in bytes of the current interface's detail record; 0 when the
// system does not give one.
uint32_t usbdevs_os_detail_size(usbdevs_os_list *list);

// Sets the record's size field and fills `record` (size bytes, zeroed by the
// caller) with the current interface's detail. Returns the interface path
// inside the record and in *max_chars the characters the record holds from
// there on (the path is not trusted to be terminated); null on failure.
const usbdevs_char *usbdevs_os_detail(usbdevs_os_list *list, void *record, uint32_t size,
                                      size_t *max_chars);

// ---- Channel -----------------------------------------------------------
// Opens the private channel at `path` for reading and writing; an empty path
// never opens. USBDEVS_INVALID_HANDLE on failure, with the last error set.
// Outside Windows only a channel served by the user or by root is opened
// (EACCES otherwise).
usbdevs_handle usbdevs_os_channel_open(const usbdevs_char *path);

// One synchronous I/O control request. True when the driver carried it out;
// *returned is then the byte count it reported (never more than out_length
// bytes are stored in out). False with the last error set otherwise.
bool usbdevs_os_channel_ioctl(usbdevs_handle handle, uint32_t code, const void *in,
                              uint32_t in_length, void *out, uint32_t out_length,
                              uint32_t *returned);

void usbdevs_os_channel_close(usbdevs_handle handle);

// The name of the device behind an interface path, UTF-8, taken from the
// path alone (it may no longer be listed): outside Windows its entry in the
// registry, on Windows its device instance id. The same device keeps the
// same name for as long as it stays plugged in.
std::string usbdevs_os_device_name(const usbdevs_char *interface_path);

// ---- Memory and errors -------------------------------------------------
// Fresh committed read-write pages for one request buffer; null on failure.
void *usbdevs_os_page_alloc(size_t size);
void usbdevs_os_page_free(void *pages, size_t size);

// The calling thread's last error code.
uint32_t usbdevs_os_last_error(void);

// What a last error code means for the device layer: the one place where the
// system's error numbers become causes.
us_cause usbdevs_os_cause(uint32_t code);

// Prints the system's text for code to the device layer's trace as plain
// text, ending in a line break; false (and nothing printed) when the system
// has none.
bool usbdevs_os_print_error_text(uint32_t code);

// Prints "ERROR : %d\n" to the trace.
void usbdevs_os_print_error_number(int number);

// Prints "GetLastError() = %#x\n" to the trace.
void usbdevs_os_print_error_code(uint32_t code);

#ifndef _WIN32
// The device registry's root directory, for whoever plays the driver too:
// $XDG_RUNTIME_DIR/qel-devices, or /tmp/qel-devices-<uid> without one.
std::string usbdevs_posix_registry_root(void);

// Whether the client would use a registry root: only a real directory (not a
// link) that the user or root owns and nobody else may write. A driver must
// not register where the client would not look. errno tells why for an
// untrusted root.
enum { USBDEVS_ROOT_MISSING, USBDEVS_ROOT_TRUSTED, USBDEVS_ROOT_UNTRUSTED };
int usbdevs_posix_root_state(const std::string &root);

// Why the device list can or cannot be had, in terms a program can put to
// its user; usbdevs_list only says -1. *root receives the registry's path.
enum {
    USBDEVS_REGISTRY_USABLE,       // missing (no device) or trusted and readable
    USBDEVS_REGISTRY_FOREIGN,      // another user's, a link, or not a directory
    USBDEVS_REGISTRY_OPEN,         // the user's own, but others may write it
    USBDEVS_REGISTRY_UNREADABLE,   // cannot be examined or listed; errno tells why
};
int usbdevs_posix_registry_state(std::string *root);
#endif

#endif
