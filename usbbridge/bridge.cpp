#include "bridge.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <libusb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "channelserver.h"
#include "driverside.h"
#include "registryentry.h"
#include "usbtarget.h"

namespace usbbridge {

struct Bridge::Served {
    libusb_device *device = nullptr;   // referenced
    libusb_device_handle *handle = nullptr;
    std::unique_ptr<UsbTarget> target;
    qeldriver::RegistryEntry entry;
};

namespace {

UsbId ids_of(libusb_device *device)
{
    libusb_device_descriptor d;
    UsbId id;
    if (libusb_get_device_descriptor(device, &d) == 0) {
        id.vendor = d.idVendor;
        id.product = d.idProduct;
    }
    return id;
}

std::string port_of(libusb_device *device)
{
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    return n > 0 ? port_path(libusb_get_bus_number(device), ports, n) : std::string();
}

bool has_audio_interface(libusb_device *device)
{
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0
        && libusb_get_config_descriptor(device, 0, &config) != 0)
        return false;
    bool audio = false;
    for (int i = 0; i < config->bNumInterfaces && !audio; ++i) {
        const libusb_interface &intf = config->interface[i];
        for (int a = 0; a < intf.num_altsetting && !audio; ++a)
            audio = intf.altsetting[a].bInterfaceClass == LIBUSB_CLASS_AUDIO;
    }
    libusb_free_config_descriptor(config);
    return audio;
}

std::string hex4(uint16_t v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

// The kernel keeps the strings in sysfs, readable without access to the
// device node; asking the device needs that access.
std::string device_string(libusb_device *device, const std::string &port, const char *attribute,
                          uint8_t index)
{
    std::ifstream f("/sys/bus/usb/devices/" + port + "/" + attribute);
    std::string s;
    if (f && std::getline(f, s) && !s.empty())
        return s;
    libusb_device_handle *h = nullptr;
    if (index == 0 || libusb_open(device, &h) != 0)
        return "?";
    unsigned char b[128];
    const int n = libusb_get_string_descriptor_ascii(h, index, b, sizeof b);
    libusb_close(h);
    return n > 0 ? std::string(reinterpret_cast<char *>(b), static_cast<size_t>(n)) : "?";
}

} // namespace

Bridge::Bridge(Options options, std::vector<UsbId> table, int stop_fd, std::string registry_root)
    : options_(std::move(options)), table_(std::move(table)), stop_fd_(stop_fd),
      root_(std::move(registry_root))
{
}

Bridge::~Bridge()
{
    for (auto &s : served_) {
        s->entry.remove();
        libusb_close(s->handle);
        libusb_unref_device(s->device);
    }
    served_.clear();
    if (ctx_) {
        if (hotplug_)
            libusb_hotplug_deregister_callback(ctx_, hotplug_handle_);
        for (auto &n : news_)
            libusb_unref_device(n.first);
        libusb_exit(ctx_);
    }
}

bool Bridge::init(std::string *error)
{
    const int r = libusb_init(&ctx_);
    if (r != 0) {
        ctx_ = nullptr;
        *error = std::string("libusb: ") + libusb_strerror(static_cast<libusb_error>(r));
        return false;
    }
    return true;
}

int Bridge::list()
{
    libusb_device **devices = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &devices);
    if (n < 0) {
        std::fprintf(stderr, "qel-usb-bridge: cannot list USB devices: %s\n",
                     libusb_strerror(static_cast<libusb_error>(n)));
        return 1;
    }
    int shown = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device *d = devices[i];
        libusb_device_descriptor desc;
        if (!has_audio_interface(d) || libusb_get_device_descriptor(d, &desc) != 0)
            continue;
        const std::string port = port_of(d);
        std::printf("bus %03u address %03u port %s ID %s:%s %s / %s\n", libusb_get_bus_number(d),
                    libusb_get_device_address(d), port.empty() ? "-" : port.c_str(),
                    hex4(desc.idVendor).c_str(), hex4(desc.idProduct).c_str(),
                    device_string(d, port, "manufacturer", desc.iManufacturer).c_str(),
                    device_string(d, port, "product", desc.iProduct).c_str());
        ++shown;
    }
    libusb_free_device_list(devices, 1);
    if (shown == 0)
        std::printf("no USB audio devices\n");
    return 0;
}

void Bridge::consider(libusb_device *device)
{
    for (const auto &s : served_)
        if (s->device == device)
            return;
    const std::string port = port_of(device);
    const UsbId id = ids_of(device);
    if (port.empty() || !has_audio_interface(device) || !selected(options_, table_, id, port))
        return;

    const std::string ids = hex4(id.vendor) + ":" + hex4(id.product);
    auto served = std::make_unique<Served>();
    const int r = libusb_open(device, &served->handle);
    if (r == LIBUSB_ERROR_ACCESS) {
        std::fprintf(stderr,
                     "qel-usb-bridge: no access to the USB device %s at port %s. Install the udev "
                     "rule that grants it, then unplug and replug the device:\n"
                     "  qel-usb-bridge --udev-rule --id %s | sudo tee "
                     "/etc/udev/rules.d/70-qel-usb.rules && sudo udevadm control --reload && "
                     "sudo udevadm trigger\n",
                     ids.c_str(), port.c_str(), ids.c_str());
        return;
    }
    if (r != 0) {
        std::fprintf(stderr, "qel-usb-bridge: cannot open the USB device %s at port %s: %s\n",
                     ids.c_str(), port.c_str(), libusb_strerror(static_cast<libusb_error>(r)));
        return;
    }
    std::string error;
    if (!served->entry.create(root_, "usb-" + port, "qel", "global", &error)) {
        std::fprintf(stderr, "qel-usb-bridge: device %s at port %s: %s\n", ids.c_str(), port.c_str(),
                     error.c_str());
        libusb_close(served->handle);
        return;
    }
    served->device = libusb_ref_device(device);
    served->target = std::make_unique<UsbTarget>(served->handle);
    std::printf("ready: %s\n", served->entry.channel_path().c_str());
    std::fflush(stdout);
    served_.push_back(std::move(served));
}

void Bridge::drop(libusb_device *device, const char *why)
{
    for (auto it = served_.begin(); it != served_.end(); ++it) {
        Served &s = **it;
        if (s.device != device)
            continue;
        // Whoever reads the line may look for the entry at once: it must
        // already be gone.
        const std::string dir = s.entry.dir();
        s.entry.remove();
        std::printf("gone: %s; %s removed\n", why, dir.c_str());
        std::fflush(stdout);
        libusb_close(s.handle);
        libusb_unref_device(s.device);
        served_.erase(it);
        return;
    }
}

int Bridge::on_hotplug(libusb_context *, libusb_device *device, libusb_hotplug_event event,
                       void *self)
{
    static_cast<Bridge *>(self)->news_.emplace_back(
        libusb_ref_device(device), event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    return 0;
}

void Bridge::take_hotplug_news()
{
    while (!news_.empty()) {
        const std::pair<libusb_device *, bool> n = news_.front();
        news_.erase(news_.begin());
        if (n.second)
            consider(n.first);
        else
            drop(n.first, "the device was unplugged");
        libusb_unref_device(n.first);
    }
}

void Bridge::serve_one(Served &served)
{
    const int fd = accept4(served.entry.listen_fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    qeldriver::ChannelServer server(stop_fd_, nullptr);
    UsbTarget &target = *served.target;
    server.serve(fd, [&target](const uint8_t *header, const uint8_t *input, size_t n) {
        return qeldriver::carry_out(target, header, input, n);
    });
    close(fd);
}

int Bridge::run()
{
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        const int r = libusb_hotplug_register_callback(
            ctx_,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED
                                              | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, this, &hotplug_handle_);
        hotplug_ = r == LIBUSB_SUCCESS;
    }
    // Registered first, listed second: a device plugged in between is seen
    // twice rather than never.
    libusb_device **devices = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &devices);
    for (ssize_t i = 0; i < n; ++i)
        consider(devices[i]);
    if (n >= 0)
        libusb_free_device_list(devices, 1);
    take_hotplug_news();
    if (served_.empty())
        std::fprintf(stderr, "qel-usb-bridge: no selected device present%s\n",
                     hotplug_ ? "; waiting for one to be plugged in" : "");

    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({ stop_fd_, POLLIN, 0 });
        for (const auto &s : served_)
            fds.push_back({ s->entry.listen_fd(), POLLIN, 0 });
        const size_t usb_first = fds.size();
        if (const libusb_pollfd **usb = libusb_get_pollfds(ctx_)) {
            // Transfers are synchronous: none is in flight here, so an open
            // device's node (the descriptors libusb polls for POLLOUT) has
            // nothing to report but its disconnection, which the hot-plug
            // notice reports too. Left out, a node that reads as ready
            // without cause cannot keep the bridge awake.
            for (const libusb_pollfd **p = usb; *p; ++p)
                if (!hotplug_ || !((*p)->events & POLLOUT))
                    fds.push_back({ (*p)->fd, (*p)->events, 0 });
            libusb_free_pollfds(usb);
        }
        timeval tv = { 0, 0 };
        int timeout_ms = -1;
        if (libusb_get_next_timeout(ctx_, &tv) == 1)
            timeout_ms = static_cast<int>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000);
        if (poll(fds.data(), fds.size(), timeout_ms) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "qel-usb-bridge: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (fds[0].revents)
            return 0;
        bool usb_news = timeout_ms >= 0;
        for (size_t i = usb_first; i < fds.size(); ++i)
            usb_news = usb_news || fds[i].revents != 0;
        if (usb_news) {
            timeval zero = { 0, 0 };
            libusb_handle_events_timeout_completed(ctx_, &zero, nullptr);
        }
        take_hotplug_news();

        // The served list is as it was when polled, minus what left since.
        for (size_t i = 1; i < usb_first && i - 1 < served_.size(); ++i) {
            if (!(fds[i].revents & POLLIN) || served_[i - 1]->entry.listen_fd() != fds[i].fd)
                continue;
            Served &s = *served_[i - 1];
            serve_one(s);
            if (s.target->gone())
                drop(s.device, "the device went away");
        }
        take_hotplug_news();
    }
}

} // namespace usbbridge
