// The one object through which the window and the update worker reach the
// device and the header of the firmware image to install.
#ifndef APP_USDEVICE_H
#define APP_USDEVICE_H

#include <cstdint>
#include <string>

#include "prgdecode.h"
#include "usctl.h"

class UsDevice {
public:
    UsDevice();

    // The handle points into the object itself, so it is never copied or moved.
    UsDevice(const UsDevice &) = delete;
    UsDevice &operator=(const UsDevice &) = delete;

    // Image side: the header of the image to install. set_fw_image with a null
    // image changes nothing and yields the header length, the smallest image
    // length worth testing.
    unsigned set_fw_image(const void *image);
    static bool check_fw_image(const void *image, int length);
    bool get_fw_product(std::string &out);   // appends the product name
    uint16_t get_fw_version();
    uint16_t get_fw_build();
    int get_fw_check_size();
    uint32_t get_fw_checksum();

    // Image side, file level: remembers an image file and reads its header.
    bool set_fw_path(const std::string &path);
    bool check_fw_path();

private:
    usctl_device device;    // first member: the record the device layer works on
    usctl_handle handle;    // points at device.ctx while a device is open
    prg_header fw_header;
    std::string fw_file_path;
};

#endif
