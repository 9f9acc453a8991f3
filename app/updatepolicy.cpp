#include "updatepolicy.h"

#include "usdevice.h"

UpdateDecision decide_update(UsDevice &dev, const FirmwareIdentity &image, UpdateChecks checks)
{
    UpdateDecision d;
    const auto verdict = [&](UpdateVerdict v) {
        d.verdict = v;
        return d;
    };
    if (!dev.get_product(d.device.product))
        return verdict(UpdateVerdict::NoDeviceProduct);
    if (!dev.get_version(&d.device.version))
        return verdict(UpdateVerdict::NoDeviceVersion);
    if (!dev.get_build(&d.device.build))
        return verdict(UpdateVerdict::NoDeviceBuild);

    // Byte for byte: a name differing only in case or by a blank is another product.
    if (d.device.product != image.product)
        return verdict(UpdateVerdict::ProductMismatch);
    if (checks == UpdateChecks::SkipVersionAndInstalled)
        return verdict(UpdateVerdict::Proceed);

    // Version and build are compared each by itself: a rebuilt image of an
    // older version still counts as newer.
    const bool newer = image.version > d.device.version || image.build > d.device.build;
    if (!newer)
        return verdict(UpdateVerdict::NotNewer);
    if (checks == UpdateChecks::SkipInstalled)
        return verdict(UpdateVerdict::Proceed);

    uint32_t hw_sum = 0;
    if (!dev.get_hw_checksum(uint32_t(dev.get_fw_check_size()), &hw_sum))
        return verdict(UpdateVerdict::NoDeviceChecksum);
    if (hw_sum == dev.get_fw_checksum())
        return verdict(UpdateVerdict::AlreadyInstalled);
    return verdict(UpdateVerdict::Proceed);
}
