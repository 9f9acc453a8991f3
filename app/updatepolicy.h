// The decision taken before every update, once the image has passed its own
// test and a device is open: whether this image may go onto this device.
// The window and the command-line tool both ask it and differ only in how
// they show the answer.
#ifndef APP_UPDATEPOLICY_H
#define APP_UPDATEPOLICY_H

#include <cstdint>
#include <string>

class UsDevice;

struct FirmwareIdentity {
    std::string product;
    uint16_t version = 0;
    uint16_t build = 0;
};

enum class UpdateVerdict {
    Proceed,
    NoDeviceProduct,    // the device's product could not be read
    NoDeviceVersion,
    NoDeviceBuild,
    ProductMismatch,
    NotNewer,           // neither the version nor the build is higher
    NoDeviceChecksum,
    AlreadyInstalled,   // the device's checksum is the image's
};

enum class UpdateChecks {
    All,
    // Whoever picked an image by hand may go back to an older one, and then
    // also reinstall the one in place.
    SkipVersionAndInstalled,
    SkipInstalled,
};

struct UpdateDecision {
    UpdateVerdict verdict = UpdateVerdict::Proceed;
    FirmwareIdentity device;   // as far as it could be read
};

// Reads the open device's identity and judges it against the image that dev
// holds (set_fw_image), whose identity is given. The tests run in a fixed
// order and the first that fails names the verdict.
UpdateDecision decide_update(UsDevice &dev, const FirmwareIdentity &image, UpdateChecks checks);

#endif
