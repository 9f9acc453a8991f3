// The platform side of usbdevs outside Windows: the device registry is a
// directory tree, the driver's private channel a Unix-domain stream socket
// that carries one request and one reply per connection.
#include "usbdevs_os.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "channelwire.h"
#include "ustrace.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace {

// A driver that has taken the request gets this long to answer in full.
const int k_reply_limit_ms = QEL_CHANNEL_TIME_LIMIT_MS;

const uint32_t k_max_input = QEL_CHANNEL_MAX_INPUT;
const uint32_t k_max_output = QEL_CHANNEL_MAX_OUTPUT;

struct Device {
    std::string dir;                      // <root>/<instance>
    std::vector<std::string> interfaces;  // absolute interface paths
};

// Mirrors the Windows detail record: a size field, then the path.
struct DetailRecord {
    uint32_t size;
    char path[1];
};
const size_t k_path_offset = offsetof(DetailRecord, path);

// Only the user (or the system) can have written what the user owns or root
// owns, provided nobody else may write it either.
bool trusted(const struct stat &st)
{
    return (st.st_uid == getuid() || st.st_uid == 0) && (st.st_mode & 022) == 0;
}

// A trusted entry of the given type. A link counts as what it points at: the
// link itself sits in a trusted directory, and what it points at is judged.
bool trusted_entry(const std::string &path, mode_t type)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type && trusted(st);
}

// A device directory is judged as it is, never through a link: a link could
// point anywhere, also into another user's tree. A missing service file only
// leaves the name unreadable; one that anybody else could have written makes
// the whole device untrustworthy.
bool trusted_device(const std::string &dir)
{
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !trusted(st))
        return false;
    if (!trusted_entry(dir + "/render", S_IFDIR))
        return false;
    if (stat((dir + "/service").c_str(), &st) == 0)
        return trusted(st);
    return errno == ENOENT;
}

// The names in dir, in ascending byte order, without "." and "..", and
// without any other dot-name when skip_dot_names is set (a device being
// prepared under the registry root). False with errno set when the directory
// cannot be read.
bool sorted_names(const std::string &dir, std::vector<std::string> *names, bool skip_dot_names)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return false;
    errno = 0;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || (skip_dot_names && name[0] == '.'))
            continue;
        names->push_back(name);
    }
    const int err = errno;
    closedir(d);
    if (err) {
        errno = err;
        return false;
    }
    std::sort(names->begin(), names->end());   // std::string orders bytes as unsigned
    return true;
}

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until fd is ready for `events` or the deadline passes; errno is
// ETIMEDOUT in the latter case.
bool wait_for(int fd, short events, int64_t deadline)
{
    for (;;) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p = { fd, events, 0 };
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

bool send_all(int fd, const uint8_t *p, size_t n, int64_t deadline)
{
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_for(fd, POLLOUT, deadline))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// Reads exactly n bytes (into p, or dropped when p is null). A connection
// that ends first is EIO.
bool recv_all(int fd, uint8_t *p, size_t n, int64_t deadline)
{
    uint8_t sink[512];
    while (n > 0) {
        const size_t want = p ? n : std::min(n, sizeof sink);
        const ssize_t r = recv(fd, p ? p : sink, want, 0);
        if (r > 0) {
            if (p)
                p += r;
            n -= static_cast<size_t>(r);
        } else if (r == 0) {
            errno = EIO;
            return false;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_for(fd, POLLIN, deadline))
                return false;
        } else {
            errno = EIO;
            return false;
        }
    }
    return true;
}

// The registry's checks say who made the socket's name, not who listens
// behind it: a socket can be bound by one program and served by another.
// Requests, image bytes included, go only to a server run by the user or by
// root, the same owners the registry trusts. errno is EACCES for any other.
bool trusted_peer(int fd)
{
    uid_t peer;
#ifdef SO_PEERCRED
    struct ucred cred;
    socklen_t length = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return false;
    if (length != sizeof cred) {
        errno = EACCES;
        return false;
    }
    peer = cred.uid;
#else
    gid_t group;
    if (getpeereid(fd, &peer, &group) != 0)
        return false;
#endif
    if (peer != getuid() && peer != 0) {
        errno = EACCES;
        return false;
    }
    return true;
}

uint32_t get_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

std::string usbdevs_posix_registry_root(void)
{
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/qel-devices";
    return "/tmp/qel-devices-" + std::to_string(static_cast<unsigned long>(getuid()));
}

int usbdevs_posix_root_state(const std::string &root)
{
    struct stat st;
    if (lstat(root.c_str(), &st) != 0)
        return errno == ENOENT ? USBDEVS_ROOT_MISSING : USBDEVS_ROOT_UNTRUSTED;
    if (!S_ISDIR(st.st_mode) || !trusted(st)) {
        errno = S_ISDIR(st.st_mode) ? EACCES : ENOTDIR;
        return USBDEVS_ROOT_UNTRUSTED;
    }
    return USBDEVS_ROOT_TRUSTED;
}

int usbdevs_posix_registry_state(std::string *root_out)
{
    const std::string root = usbdevs_posix_registry_root();
    if (root_out)
        *root_out = root;
    struct stat st;
    if (lstat(root.c_str(), &st) != 0)
        return errno == ENOENT ? USBDEVS_REGISTRY_USABLE : USBDEVS_REGISTRY_UNREADABLE;
    if (!S_ISDIR(st.st_mode) || (st.st_uid != getuid() && st.st_uid != 0))
        return USBDEVS_REGISTRY_FOREIGN;
    if (!trusted(st))
        return USBDEVS_REGISTRY_OPEN;
    DIR *d = opendir(root.c_str());
    if (!d)
        return USBDEVS_REGISTRY_UNREADABLE;
    closedir(d);
    return USBDEVS_REGISTRY_USABLE;
}

struct usbdevs_os_list {
    std::vector<Device> devices;
    const Device *device = nullptr;
    const std::string *interface = nullptr;
};

usbdevs_os_list *usbdevs_os_devices(void)
{
    const std::string root = usbdevs_posix_registry_root();
    std::vector<std::string> instances;
    switch (usbdevs_posix_root_state(root)) {
    case USBDEVS_ROOT_MISSING:
        return new usbdevs_os_list;
    case USBDEVS_ROOT_UNTRUSTED:
        return nullptr;
    default:
        break;
    }
    if (!sorted_names(root, &instances, true))
        return nullptr;

    usbdevs_os_list *list = new usbdevs_os_list;
    for (const std::string &instance : instances) {
        Device device;
        device.dir = root + "/" + instance;
        if (!trusted_device(device.dir))
            continue;
        const std::string render = device.dir + "/render";
        std::vector<std::string> names;
        // Every regular file here is an interface, whatever its name.
        if (!sorted_names(render, &names, false))
            continue;
        for (const std::string &name : names) {
            const std::string path = render + "/" + name;
            if (trusted_entry(path, S_IFREG))
                device.interfaces.push_back(path);
        }
        if (!device.interfaces.empty())
            list->devices.push_back(std::move(device));
    }
    return list;
}

void usbdevs_os_devices_free(usbdevs_os_list *list)
{
    delete list;
}

bool usbdevs_os_device(usbdevs_os_list *list, uint32_t device)
{
    list->interface = nullptr;
    list->device = device < list->devices.size() ? &list->devices[device] : nullptr;
    return list->device != nullptr;
}

bool usbdevs_os_service(usbdevs_os_list *list, usbdevs_char *name, uint32_t bytes)
{
    if (!list->device || bytes == 0)
        return false;
    // Non-blocking, so that a named pipe in place of the file cannot stall discovery.
    const int fd = open((list->device->dir + "/service").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    std::string text;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char chunk[256];
    while (ok) {
        const ssize_t r = read(fd, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        text.append(chunk, static_cast<size_t>(r));
        ok = text.size() <= bytes;   // more than that can never fit
    }
    close(fd);
    if (!ok)
        return false;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    // The name and its NUL must fit what was offered; an embedded NUL would
    // make it compare as a different, shorter name.
    if (text.size() + 1 > bytes || text.find('\0') != std::string::npos)
        return false;
    std::memcpy(name, text.c_str(), text.size() + 1);
    return true;
}

bool usbdevs_os_interface(usbdevs_os_list *list, uint32_t member)
{
    list->interface = list->device && member < list->device->interfaces.size()
                          ? &list->device->interfaces[member]
                          : nullptr;
    return list->interface != nullptr;
}

uint32_t usbdevs_os_detail_size(usbdevs_os_list *list)
{
    if (!list->interface)
        return 0;
    return static_cast<uint32_t>(k_path_offset + list->interface->size() + 1);
}

const usbdevs_char *usbdevs_os_detail(usbdevs_os_list *list, void *record, uint32_t size,
                                      size_t *max_chars)
{
    if (!list->interface || size < usbdevs_os_detail_size(list)) {
        errno = EINVAL;
        return nullptr;
    }
    DetailRecord *detail = static_cast<DetailRecord *>(record);
    detail->size = sizeof(DetailRecord);
    std::memcpy(detail->path, list->interface->c_str(), list->interface->size() + 1);
    *max_chars = size - k_path_offset;
    return detail->path;
}

usbdevs_handle usbdevs_os_channel_open(const usbdevs_char *path)
{
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const size_t n = std::strlen(path);
    // An empty path would name an abstract socket on some systems.
    if (n == 0) {
        errno = ENOENT;
        return USBDEVS_INVALID_HANDLE;
    }
    if (n >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return USBDEVS_INVALID_HANDLE;
    }
    std::memcpy(addr.sun_path, path, n);

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return USBDEVS_INVALID_HANDLE;
    // A driver that stops accepting fills its queue; connecting then waits
    // no longer than a reply may take, and fails (EAGAIN).
    timeval limit = { k_reply_limit_ms / 1000, 0 };
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int r;
    do {
        r = connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0 || !trusted_peer(fd)) {
        const int err = errno;
        close(fd);
        errno = err;
        return USBDEVS_INVALID_HANDLE;
    }
    return reinterpret_cast<usbdevs_handle>(static_cast<intptr_t>(fd));
}

bool usbdevs_os_channel_ioctl(usbdevs_handle handle, uint32_t code, const void *in,
                              uint32_t in_length, void *out, uint32_t out_length,
                              uint32_t *returned)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle));
    if (handle == USBDEVS_INVALID_HANDLE || in_length > k_max_input || out_length > k_max_output
        || (in_length && !in) || (out_length && !out)) {
        errno = EINVAL;
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;

    std::vector<uint8_t> request(QEL_CHANNEL_REQUEST_HEADER + in_length);
    std::memcpy(request.data(), QEL_CHANNEL_REQUEST_MAGIC, QEL_CHANNEL_MAGIC_SIZE);
    put_le32(&request[QEL_CHANNEL_REQUEST_CODE_AT], code);
    put_le32(&request[QEL_CHANNEL_REQUEST_INPUT_AT], in_length);
    put_le32(&request[QEL_CHANNEL_REQUEST_OUTPUT_AT], out_length);
    if (in_length)
        std::memcpy(&request[QEL_CHANNEL_REQUEST_HEADER], in, in_length);

    if (!send_all(fd, request.data(), request.size(), now_ms() + k_reply_limit_ms)) {
        // A driver may answer and close without taking all of a request it
        // refuses; its reply is still worth reading.
        if (errno != EPIPE && errno != ECONNRESET)
            return false;
    }

    const int64_t deadline = now_ms() + k_reply_limit_ms;
    uint8_t head[QEL_CHANNEL_REPLY_HEADER];
    if (!recv_all(fd, head, sizeof head, deadline))
        return false;
    if (std::memcmp(head, QEL_CHANNEL_REPLY_MAGIC, QEL_CHANNEL_MAGIC_SIZE) != 0) {
        errno = EPROTO;
        return false;
    }
    const uint32_t error = get_le32(head + QEL_CHANNEL_REPLY_ERROR_AT);
    if (error != 0) {
        errno = static_cast<int>(error);
        return false;
    }
    const uint32_t count = get_le32(head + QEL_CHANNEL_REPLY_COUNT_AT);
    const uint32_t kept = std::min(count, out_length);
    if (!recv_all(fd, static_cast<uint8_t *>(out), kept, deadline)
        || !recv_all(fd, nullptr, count - kept, deadline))
        return false;
    *returned = count;
    return true;
}

void usbdevs_os_channel_close(usbdevs_handle handle)
{
    if (handle != USBDEVS_INVALID_HANDLE)
        close(static_cast<int>(reinterpret_cast<intptr_t>(handle)));
}

void *usbdevs_os_page_alloc(size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void usbdevs_os_page_free(void *pages, size_t size)
{
    if (pages)
        munmap(pages, size);
}

std::string usbdevs_os_device_name(const usbdevs_char *path)
{
    // <root>/<entry>/render/<interface>: the entry is two levels up.
    const std::string s(path ? path : "");
    const size_t iface = s.rfind('/');
    const size_t render = iface == std::string::npos || iface == 0 ? std::string::npos
                                                                   : s.rfind('/', iface - 1);
    const size_t entry = render == std::string::npos || render == 0 ? std::string::npos
                                                                    : s.rfind('/', render - 1);
    if (entry == std::string::npos)
        return s;
    return s.substr(entry + 1, render - entry - 1);
}

uint32_t usbdevs_os_last_error(void)
{
    return static_cast<uint32_t>(errno);
}

us_cause usbdevs_os_cause(uint32_t code)
{
    return us_cause_of_errno(code);
}

bool usbdevs_os_print_error_text(uint32_t code)
{
    const char *text = std::strerror(static_cast<int>(code));
    if (!text || !*text)
        return false;
    us_trace_text(text);
    us_trace_text("\n");
    return true;
}

void usbdevs_os_print_error_number(int number)
{
    us_tracef("ERROR : %d\n", number);
}

void usbdevs_os_print_error_code(uint32_t code)
{
    us_tracef("GetLastError() = %#x\n", static_cast<unsigned>(code));
}
