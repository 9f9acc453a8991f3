// USB audio devices for a program run under umockdev's preload library: a
// testbed holding the devices' sysfs entries, and for each one a handler
// that answers the program's usbfs ioctls as the kernel would, with an
// emulated Qel device behind endpoint 0. The handlers run on a GLib main
// loop in a thread of their own, so the test thread stays free to be the
// bridge's client.
#ifndef USBBRIDGE_TESTS_USBFSMOCK_H
#define USBBRIDGE_TESTS_USBFSMOCK_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qeldevice.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

class UsbfsMock {
public:
    struct DeviceSetup {
        std::string port;          // sysfs name, "1-1"
        uint8_t bus = 1;
        uint8_t address = 2;
        uint16_t vendor = 0x1209;
        uint16_t product = 0x0001;
        qel::DeviceConfig config;  // the Qel device behind endpoint 0
        bool accessible = true;    // false: the node may be read but not written
        std::string manufacturer = "Qel test";      // the strings sysfs shows
        std::string product_name = "Qel USB audio";
    };

    struct Counts {
        unsigned urbs = 0;         // control URBs submitted
        unsigned discarded = 0;    // URBs taken back by the program
        unsigned unknown = 0;      // ioctls the mock does not know
        unsigned long last_unknown = 0;
        unsigned opened = 0;       // openings of the node
    };

    UsbfsMock();
    ~UsbfsMock();
    UsbfsMock(const UsbfsMock &) = delete;
    UsbfsMock &operator=(const UsbfsMock &) = delete;

    // Adds a device (handler first, then the sysfs entry, so that no opening
    // finds the node unanswered) and announces it. Returns its sysfs path.
    std::string add(const DeviceSetup &setup);
    // The device is cut off as by the cable: every later request fails with
    // ENODEV, its sysfs entry goes, and the removal is announced.
    void unplug(const std::string &port);
    // While held, control URBs are accepted but never finish (the device
    // does not see them) until the program discards them.
    void hold(const std::string &port, bool held);

    std::string root_dir() const;   // for UMOCKDEV_DIR
    // This process's environment for a child run under the preload library
    // in the testbed at umockdev_dir (ASan told not to mind the preloading).
    static std::vector<std::string> child_env(const std::string &umockdev_dir);
    std::vector<std::string> child_env() const { return child_env(root_dir()); }
    Counts counts(const std::string &port);

    // Runs f on the Qel device behind port, with the handlers held off.
    void with_device(const std::string &port, const std::function<void(qel::Device &)> &f);

    struct Device;
    std::mutex &mutex() { return mutex_; }

private:
    UMockdevTestbed *testbed_;
    GMainContext *context_;
    GMainLoop *loop_;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<Device>> devices_;
};

#endif
