#include "bridge.h"

#include <cerrno>
#include <chrono>
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
#include "updatelock.h"
#include "textescape.h"
#include "usbtarget.h"

namespace usbbridge {

struct Bridge::Served {
    uint64_t serial = 0;               // its identity in the event loop
    libusb_device *device = nullptr;   // referenced
    // Open only while a request is carried out, or while the device's
    // update lock is held (an update runs: thousands of requests).
    libusb_device_handle *handle = nullptr;
    std::unique_ptr<UsbTarget> target;
    qeldriver::RegistryEntry entry;
    std::string ids;                   // VVVV:PPPP
    std::string port;
    bool refused = false;              // the last opening was refused (said once)
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

// How often a device kept open for an update is looked at, to close it once
// the update has ended and no request comes.
const int k_handle_recheck_ms = 2000;

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void print_no_access(const std::string &ids, const std::string &port)
{
    std::fprintf(stderr,
                 "qel-usb-bridge: no access to the USB device %s at port %s. Install the udev "
                 "rule that grants it, then unplug and replug the device:\n"
                 "  qel-usb-bridge --udev-rule --id %s | sudo tee "
                 "/etc/udev/rules.d/71-qel-usb-local.rules && sudo udevadm control --reload && "
                 "sudo udevadm trigger\n",
                 ids.c_str(), port.c_str(), ids.c_str());
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

Bridge::Bridge(Options options, std::vector<UsbId> table, qeldriver::StopRequest *stop,
               std::string registry_root, std::function<void()> stopping)
    : options_(std::move(options)), table_(std::move(table)), stop_(stop),
      root_(std::move(registry_root)), stopping_(std::move(stopping))
{
    stop_->set_busy_test([this] { return updating() != nullptr; });
}

Bridge::~Bridge()
{
    for (auto &s : served_) {
        s->entry.remove();
        if (s->handle)
            libusb_close(s->handle);
        libusb_unref_device(s->device);
    }
    served_.clear();
    stop_->set_busy_test({});
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
                    escape_terminal_text(device_string(d, port, "manufacturer", desc.iManufacturer)).c_str(),
                    escape_terminal_text(device_string(d, port, "product", desc.iProduct)).c_str());
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
    // Opened once to learn whether access is granted, and closed at once:
    // requests open it again.
    libusb_device_handle *handle = nullptr;
    const int r = libusb_open(device, &handle);
    if (r == LIBUSB_ERROR_ACCESS) {
        print_no_access(ids, port);
        return;
    }
    if (r != 0) {
        std::fprintf(stderr, "qel-usb-bridge: cannot open the USB device %s at port %s: %s\n",
                     ids.c_str(), port.c_str(), libusb_strerror(static_cast<libusb_error>(r)));
        return;
    }
    libusb_close(handle);
    auto served = std::make_unique<Served>();
    std::string error;
    if (!served->entry.create(root_, "usb-" + port, "qel", "global", &error)) {
        std::fprintf(stderr, "qel-usb-bridge: device %s at port %s: %s\n", ids.c_str(), port.c_str(),
                     error.c_str());
        return;
    }
    served->serial = next_serial_++;
    served->device = libusb_ref_device(device);
    served->target = std::make_unique<UsbTarget>();
    served->ids = ids;
    served->port = port;
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
        if (s.handle)
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

bool Bridge::open_handle(Served &served, int *error)
{
    if (served.handle)
        return true;
    const int r = libusb_open(served.device, &served.handle);
    if (r == 0) {
        served.refused = false;
        served.target->set_handle(served.handle);
        return true;
    }
    served.handle = nullptr;
    if (r == LIBUSB_ERROR_NO_DEVICE)
        served.target->mark_gone();
    if (r == LIBUSB_ERROR_ACCESS && !served.refused)
        print_no_access(served.ids, served.port);
    served.refused = r == LIBUSB_ERROR_ACCESS;
    *error = UsbTarget::channel_error(r);
    return false;
}

bool Bridge::settle_handle(Served &served)
{
    if (!served.handle)
        return false;
    if (!served.target->gone() && UpdateLock::held_elsewhere(served.entry.dir()))
        return true;
    served.target->set_handle(nullptr);
    libusb_close(served.handle);
    served.handle = nullptr;
    return false;
}

const Bridge::Served *Bridge::updating() const
{
    for (const auto &s : served_)
        if (UpdateLock::held_elsewhere(s->entry.dir()))
            return s.get();
    return nullptr;
}

void Bridge::serve_one(Served &served)
{
    const int fd = accept4(served.entry.listen_fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)   // non-blocking: the client left before it was accepted
        return;
    qeldriver::ChannelServer server(stop_, nullptr);
    server.serve(fd, [this, &served](const uint8_t *header, const uint8_t *input, size_t n) {
        // Opened once the whole request is there, not for a silent client.
        int error = 0;
        if (!open_handle(served, &error)) {
            qeldriver::Outcome refused;
            refused.error = static_cast<uint32_t>(error);
            refused.what = "the device cannot be opened";
            return refused;
        }
        return qeldriver::carry_out(*served.target, header, input, n);
    });
    // Settled before the client sees the end of its connection: the device
    // is closed by the time the request is over.
    settle_handle(served);
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

    int64_t wait_until = -1;   // while a stop waits for an update
    for (;;) {
        if (stop_->requested()) {
            if (stopping_) {
                stopping_();
                stopping_ = nullptr;
            }
            const Served *busy = updating();
            if (!busy)
                return 0;
            if (wait_until < 0) {
                wait_until = now_ms() + qeldriver::kUpdateWaitLimitMs;
                std::fprintf(stderr, "qel-usb-bridge: asked to stop; waiting for the update of %s to "
                                     "finish (at most 10 minutes)\n", busy->entry.dir().c_str());
            } else if (now_ms() >= wait_until) {
                std::fprintf(stderr, "qel-usb-bridge: the update of %s is still running after 10 "
                                     "minutes; stopping anyway\n", busy->entry.dir().c_str());
                return 0;
            }
        }

        std::vector<pollfd> fds;
        stop_->add_pollfds(&fds);
        const size_t listen_first = fds.size();
        // Each listening socket is known by its device's serial, never by
        // its number: a device gone and another come within one turn may
        // get the same number.
        std::vector<uint64_t> serials;
        bool kept_open = false;
        for (const auto &s : served_) {
            fds.push_back({ s->entry.listen_fd(), POLLIN, 0 });
            serials.push_back(s->serial);
            kept_open = kept_open || s->handle;
        }
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
        const bool usb_timeout = libusb_get_next_timeout(ctx_, &tv) == 1;
        if (usb_timeout)
            timeout_ms = static_cast<int>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000);
        // Idle with nothing open, the bridge sleeps until something happens.
        const auto at_most = [&timeout_ms](int ms) {
            if (timeout_ms < 0 || ms < timeout_ms)
                timeout_ms = ms;
        };
        if (stop_->requested())
            at_most(qeldriver::kUpdatePollMs);
        if (kept_open)
            at_most(k_handle_recheck_ms);
        const int ready = poll(fds.data(), fds.size(), timeout_ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "qel-usb-bridge: poll: %s\n", std::strerror(errno));
            return 1;
        }
        stop_->take(fds.data());
        if (ready == 0 && kept_open)
            for (auto &s : served_)
                settle_handle(*s);
        bool usb_news = usb_timeout;
        for (size_t i = usb_first; i < fds.size(); ++i)
            usb_news = usb_news || fds[i].revents != 0;
        if (usb_news) {
            timeval zero = { 0, 0 };
            libusb_handle_events_timeout_completed(ctx_, &zero, nullptr);
        }
        take_hotplug_news();

        for (size_t i = listen_first; i < usb_first; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const uint64_t serial = serials[i - listen_first];
            Served *found = nullptr;
            for (auto &s : served_)
                if (s->serial == serial)
                    found = s.get();
            if (!found)   // gone since the poll
                continue;
            serve_one(*found);
            if (found->target->gone())
                drop(found->device, "the device went away");
            take_hotplug_news();
        }
    }
}

} // namespace usbbridge
