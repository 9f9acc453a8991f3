// The bridge's life: the USB devices it serves, each with its registry entry,
// and one event loop that sleeps until a client connects, libusb has news
// (a device plugged in or gone) or the program is to stop.
#ifndef USBBRIDGE_BRIDGE_H
#define USBBRIDGE_BRIDGE_H

#include <memory>
#include <string>
#include <vector>

#include <libusb.h>

#include "bridgeoptions.h"

namespace usbbridge {

class Bridge {
public:
    Bridge(Options options, std::vector<UsbId> table, int stop_fd, std::string registry_root);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    bool init(std::string *error);
    // Prints the audio-class devices present; the exit status.
    int list();
    // Serves until the stop descriptor is readable; the exit status.
    int run();

private:
    struct Served;

    void consider(libusb_device *device);
    void drop(libusb_device *device, const char *why);
    void take_hotplug_news();
    void serve_one(Served &served);
    static int on_hotplug(libusb_context *ctx, libusb_device *device, libusb_hotplug_event event,
                          void *self);

    Options options_;
    std::vector<UsbId> table_;
    int stop_fd_;
    std::string root_;
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
