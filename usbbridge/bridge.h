// The bridge's life: the USB devices it serves, each with its registry entry,
// and one event loop that sleeps until a client connects, libusb has news
// (a device plugged in or gone) or the program is asked to stop. Asked to
// stop, it goes on serving while an update of one of its devices runs (at
// most 10 minutes). A device is opened for a request and closed after, or
// once the update that holds its update lock has ended: the bridge keeps no
// access that the system has meant to take away (a user switch).
#ifndef USBBRIDGE_BRIDGE_H
#define USBBRIDGE_BRIDGE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <libusb.h>

#include "bridgeoptions.h"
#include "stoprequest.h"

namespace usbbridge {

class Bridge {
public:
    // stop: the program's stop request, also told what keeps the bridge busy.
    // stopping: called once when a stop is first seen (may be empty).
    Bridge(Options options, std::vector<UsbId> table, qeldriver::StopRequest *stop,
           std::string registry_root, std::function<void()> stopping = {});
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    bool init(std::string *error);
    // Prints the audio-class devices present; the exit status.
    int list();
    // Serves until asked to stop and no update runs; the exit status.
    int run();

private:
    struct Served;

    void consider(libusb_device *device);
    void drop(libusb_device *device, const char *why);
    void take_hotplug_news();
    void serve_one(Served &served);
    bool open_handle(Served &served, int *error);
    // Closes a device's handle unless its update lock is held; true when it stays open.
    bool settle_handle(Served &served);
    // The first served device with an update running, or null.
    const Served *updating() const;
    static int on_hotplug(libusb_context *ctx, libusb_device *device, libusb_hotplug_event event,
                          void *self);

    Options options_;
    std::vector<UsbId> table_;
    qeldriver::StopRequest *stop_;
    std::string root_;
    std::function<void()> stopping_;
    uint64_t next_serial_ = 1;
    libusb_context *ctx_ = nullptr;
    bool hotplug_ = false;
    int hotplug_handle_ = 0;
    std::vector<std::unique_ptr<Served>> served_;
    // Hot-plug notices, kept until the loop may open devices (not from
    // within libusb's callback). Each holds a reference.
    std::vector<std::pair<libusb_device *, bool>> news_;
};

} // namespace usbbridge

#endif
