#include "usbfsmock.h"

#include "ueventsender.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>

extern char **environ;

// A URB the device has answered, kept until the program reaps it: only then
// does the kernel write the outcome into the program's memory.
struct Finished {
    UMockdevIoctlData *urb = nullptr;      // referenced
    UMockdevIoctlData *buffer = nullptr;   // referenced
    int status = 0;
    int actual = 0;
    std::vector<uint8_t> in;               // the data stage of an IN transfer
};

struct UsbfsMock::Device {
    UsbfsMock *owner = nullptr;
    std::string syspath;
    std::string devnode;
    UMockdevIoctlBase *handler = nullptr;
    std::unique_ptr<qel::Device> device;
    Counts counts;
    std::vector<Finished> finished;   // URBs to be reaped, in order
    std::vector<Finished> pending;    // held URBs, not finished
    bool held = false;
    bool gone = false;
};

namespace {

// A device with an AudioControl and an AudioStreaming interface: what makes
// the bridge consider it at all.
std::vector<uint8_t> descriptors(uint16_t vendor, uint16_t product)
{
    const auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xff); };
    const auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    return {
        18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(vendor), hi(vendor), lo(product), hi(product),
        0x00, 0x01, 1, 2, 0, 1,                       // device
        9, 2, 27, 0, 2, 1, 0, 0x80, 50,               // configuration 1, two interfaces
        9, 4, 0, 0, 0, 1, 1, 0, 0,                    // AudioControl
        9, 4, 1, 0, 0, 1, 2, 0, 0,                    // AudioStreaming, no endpoints
    };
}

void complete(UMockdevIoctlClient *client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
}

// The kernel's part of a control URB: the setup packet goes to the device,
// the data stage into or out of the buffer behind it; a refusal is a stall.
void submit(UsbfsMock::Device &d, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urb_data)
        return complete(client, -1, EFAULT);
    auto *urb = reinterpret_cast<usbdevfs_urb *>(urb_data->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || (urb->endpoint & 0x7f) != 0 || urb->buffer_length < 8)
        return complete(client, -1, EINVAL);
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
        urb_data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
    if (!buffer)
        return complete(client, -1, EFAULT);
    if (d.gone)
        return complete(client, -1, ENODEV);
    if (d.held) {
        ++d.counts.urbs;
        Finished f;
        f.urb = static_cast<UMockdevIoctlData *>(g_object_ref(urb_data));
        f.buffer = static_cast<UMockdevIoctlData *>(g_object_ref(buffer));
        d.pending.push_back(std::move(f));
        return complete(client, 0, 0);
    }
    uint8_t *setup = buffer->data;
    const uint8_t type = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    const size_t length = static_cast<size_t>(setup[6] | setup[7] << 8);
    if (length > static_cast<size_t>(urb->buffer_length) - 8)
        return complete(client, -1, EINVAL);

    ++d.counts.urbs;
    Finished f;
    int refused = EPIPE;
    size_t actual = 0;
    if ((type & 0x60) == 0x40 && (type & 0x1f) == 0) {   // vendor, to the device
        if (type & 0x80) {
            f.in.resize(length);
            refused = d.device->control_in(request, value, index, f.in.data(), length, &actual);
            f.in.resize(refused ? 0 : std::min(actual, length));
        } else if ((refused = d.device->control_out(request, value, index, setup + 8, length)) == 0) {
            actual = length;
        }
    }
    f.status = refused ? -EPIPE : 0;
    f.actual = refused ? 0 : static_cast<int>(actual);
    f.urb = static_cast<UMockdevIoctlData *>(g_object_ref(urb_data));
    f.buffer = static_cast<UMockdevIoctlData *>(g_object_ref(buffer));
    d.finished.push_back(std::move(f));
    complete(client, 0, 0);
}

void reap(UsbfsMock::Device &d, UMockdevIoctlClient *client)
{
    if (d.finished.empty())
        return complete(client, -1, d.gone ? ENODEV : EAGAIN);
    // The argument points to where the URB's address is to be written.
    UMockdevIoctlData *where = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                           sizeof(void *), nullptr);
    if (!where)
        return complete(client, -1, EFAULT);
    Finished f = std::move(d.finished.front());
    d.finished.erase(d.finished.begin());
    if (!f.in.empty())
        umockdev_ioctl_data_update(f.buffer, 8, f.in.data(), static_cast<gint>(f.in.size()));
    int fields[2] = { f.status, 0 };
    umockdev_ioctl_data_update(f.urb, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8 *>(fields),
                               sizeof(int));
    fields[0] = f.actual;
    umockdev_ioctl_data_update(f.urb, offsetof(usbdevfs_urb, actual_length),
                               reinterpret_cast<guint8 *>(fields), sizeof(int));
    umockdev_ioctl_data_set_ptr(where, 0, f.urb);
    g_object_unref(f.buffer);
    g_object_unref(f.urb);
    complete(client, 0, 0);
}

// A URB taken back before it finished is reaped as cancelled; one that
// already finished cannot be taken back (EINVAL), as with the kernel.
void discard(UsbfsMock::Device &d, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    gulong address = 0;
    if (static_cast<size_t>(arg->data_len) < sizeof address)
        return complete(client, -1, EFAULT);
    std::memcpy(&address, arg->data, sizeof address);
    for (auto it = d.pending.begin(); it != d.pending.end(); ++it) {
        if (it->urb->client_addr != address)
            continue;
        Finished f = std::move(*it);
        d.pending.erase(it);
        f.status = -ENOENT;
        d.finished.push_back(std::move(f));
        ++d.counts.discarded;
        return complete(client, 0, 0);
    }
    complete(client, -1, EINVAL);
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    auto &d = *static_cast<UsbfsMock::Device *>(user);
    std::lock_guard<std::mutex> lock(d.owner->mutex());
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                              sizeof(uint32_t), nullptr);
        if (!caps) {
            complete(client, -1, EFAULT);
            break;
        }
        uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        umockdev_ioctl_data_update(caps, 0, reinterpret_cast<guint8 *>(&value), sizeof value);
        complete(client, 0, 0);
        break;
    }
    case USBDEVFS_SUBMITURB:
        submit(d, client);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(d, client);
        break;
    case USBDEVFS_DISCARDURB:
        discard(d, client);
        break;
    default:
        ++d.counts.unknown;
        d.counts.last_unknown = request;
        complete(client, -1, ENOTTY);
    }
    return TRUE;
}

// The program opened the device's node. (umockdev does not tell of the
// closing: the program's descriptors do.)
void on_connected(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer user)
{
    auto &d = *static_cast<UsbfsMock::Device *>(user);
    std::lock_guard<std::mutex> lock(d.owner->mutex());
    ++d.counts.opened;
}

// Runs f in the handlers' thread and waits for it: umockdev dispatches a
// handler in the main context it was attached from.
void run_in(GMainContext *context, const std::function<void()> &f)
{
    struct Call {
        const std::function<void()> *f;
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    } call;
    call.f = &f;
    g_main_context_invoke(
        context,
        [](gpointer p) -> gboolean {
            auto *c = static_cast<Call *>(p);
            (*c->f)();
            std::lock_guard<std::mutex> lock(c->m);
            c->done = true;
            c->cv.notify_all();
            return G_SOURCE_REMOVE;
        },
        &call);
    std::unique_lock<std::mutex> lock(call.m);
    call.cv.wait(lock, [&call] { return call.done; });
}

} // namespace

UsbfsMock::UsbfsMock()
    : testbed_(umockdev_testbed_new()), context_(g_main_context_new()),
      loop_(g_main_loop_new(context_, FALSE))
{
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
}

UsbfsMock::~UsbfsMock()
{
    g_main_loop_quit(loop_);
    thread_.join();
    for (auto &d : devices_) {
        d.second->finished.insert(d.second->finished.end(), d.second->pending.begin(),
                                  d.second->pending.end());
        for (Finished &f : d.second->finished) {
            g_object_unref(f.buffer);
            g_object_unref(f.urb);
        }
        g_object_unref(d.second->handler);
    }
    g_object_unref(testbed_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

std::string UsbfsMock::root_dir() const
{
    gchar *dir = umockdev_testbed_get_root_dir(testbed_);
    const std::string s = dir;
    g_free(dir);
    return s;
}

std::vector<std::string> UsbfsMock::child_env(const std::string &umockdev_dir)
{
    std::vector<std::string> env;
    std::string asan = "verify_asan_link_order=0";
    for (char **e = environ; *e; ++e) {
        const std::string v = *e;
        if (v.rfind("ASAN_OPTIONS=", 0) == 0)
            asan = v.substr(13) + ":" + asan;
        else if (v.rfind("LD_PRELOAD=", 0) != 0 && v.rfind("UMOCKDEV_DIR=", 0) != 0)
            env.push_back(v);
    }
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back("LD_PRELOAD=libumockdev-preload.so.0");
    env.push_back("UMOCKDEV_DIR=" + umockdev_dir);
    return env;
}

std::string UsbfsMock::add(const DeviceSetup &setup)
{
    auto d = std::make_unique<Device>();
    d->owner = this;
    d->device = std::make_unique<qel::Device>(setup.config);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", setup.bus, setup.address);
    d->devnode = node;
    char ids[2][8];
    std::snprintf(ids[0], sizeof ids[0], "%04x", setup.vendor);
    std::snprintf(ids[1], sizeof ids[1], "%04x", setup.product);
    const std::string bus = std::to_string(setup.bus);
    const std::string address = std::to_string(setup.address);
    // usbfs nodes are char major 189, numbered across buses.
    const std::string major_minor = "189:" + std::to_string((setup.bus - 1) * 128 + setup.address - 1);
    std::vector<uint8_t> desc = descriptors(setup.vendor, setup.product);
    Device *raw = d.get();
    bool ok = true;
    run_in(context_, [&] {
        raw->handler = umockdev_ioctl_base_new();
        g_signal_connect(raw->handler, "handle-ioctl", G_CALLBACK(on_ioctl), raw);
        g_signal_connect(raw->handler, "client-connected", G_CALLBACK(on_connected), raw);
        ok = umockdev_testbed_attach_ioctl(testbed_, node, raw->handler, nullptr);
        gchar *path = umockdev_testbed_add_device(
            testbed_, "usb", setup.port.c_str(), nullptr,
            "busnum", bus.c_str(), "devnum", address.c_str(), "idVendor", ids[0], "idProduct", ids[1],
            "dev", major_minor.c_str(), "bConfigurationValue", "1", "speed", "480",
            "manufacturer", setup.manufacturer.c_str(), "product", setup.product_name.c_str(), nullptr,
            "DEVNAME", node, "DEVTYPE", "usb_device", "BUSNUM", bus.c_str(), "DEVNUM", address.c_str(),
            nullptr);
        raw->syspath = path ? path : "";
        // umockdev records the node's numbers but leaves the file to be made.
        gchar *dir = umockdev_testbed_get_root_dir(testbed_);
        const std::string file = std::string(dir) + node;
        g_free(dir);
        g_mkdir_with_parents(file.substr(0, file.rfind('/')).c_str(), 0755);
        g_file_set_contents(file.c_str(), "", 0, nullptr);
        if (!setup.accessible)
            chmod(file.c_str(), 0444);
        g_free(path);
        if (!raw->syspath.empty())
            umockdev_testbed_set_attribute_binary(testbed_, raw->syspath.c_str(), "descriptors",
                                                  desc.data(), static_cast<gint>(desc.size()));
    });
    if (!ok || raw->syspath.empty())
        throw std::runtime_error("umockdev could not add the device at " + setup.port);
    const std::string syspath = raw->syspath;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_[setup.port] = std::move(d);
    }
    ueventsender::send(root_dir(), { "add", syspath.substr(4), "usb", "usb_device",
                                     ueventsender::read_properties(root_dir() + syspath + "/uevent") });
    return syspath;
}

void UsbfsMock::unplug(const std::string &port)
{
    std::string syspath;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Device &d = *devices_.at(port);
        d.gone = true;
        for (Finished &f : d.pending) {
            f.status = -ENODEV;
            d.finished.push_back(std::move(f));
        }
        d.pending.clear();
        syspath = d.syspath;
    }
    const std::vector<std::string> properties = ueventsender::read_properties(root_dir() + syspath + "/uevent");
    run_in(context_, [&] { umockdev_testbed_remove_device(testbed_, syspath.c_str()); });
    ueventsender::send(root_dir(), { "remove", syspath.substr(4), "usb", "usb_device", properties });
}

void UsbfsMock::hold(const std::string &port, bool held)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(port)->held = held;
}

UsbfsMock::Counts UsbfsMock::counts(const std::string &port)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.at(port)->counts;
}

void UsbfsMock::with_device(const std::string &port, const std::function<void(qel::Device &)> &f)
{
    std::lock_guard<std::mutex> lock(mutex_);
    f(*devices_.at(port)->device);
}
