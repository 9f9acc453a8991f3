// The one object through which the window and the update worker reach the
// device and the header of the firmware image to install.
#ifndef APP_USDEVICE_H
#define APP_USDEVICE_H

#include <atomic>
#include <cstdint>
#include <string>

#include "prgdecode.h"
#include "usctl.h"

// A device command as run_command calls it: the device reference and three
// arguments, the last two cut to a byte.
typedef int (*usdevice_command)(usctl_handle *dev, int a, int b, int c);

class UsDevice {
public:
    // Tries to open the device at once; whether one was found shows only in
    // is_open().
    UsDevice();

    // The handle points into the object itself, so it is never copied or moved.
    UsDevice(const UsDevice &) = delete;
    UsDevice &operator=(const UsDevice &) = delete;

    // Device side. Every method returns false at once, without any traffic,
    // when no device is open.
    bool open();
    // Opens the device at one of the interface paths usbdevs_list gives,
    // for whoever chooses among several devices.
    bool open_path(const usbdevs_char *path);
    bool close();
    bool is_open() const;
    // Why the last device-side call that returned false failed, as the
    // device layer named it; US_CAUSE_NO_DEVICE while none is open.
    us_cause cause() const;
    // The interface path of the open device (what its update lock is named
    // after); empty when none is open.
    const usbdevs_char *path() const;
    // The open device's name, as the device list and the records give it.
    std::string name() const;
    bool get_product(std::string &out);          // appends the device's product name
    bool get_version(uint16_t *version);
    bool get_build(uint16_t *build);
    bool get_hw_checksum(uint32_t length, uint32_t *sum);
    // progress may be null; it is written from the calling thread while
    // another one reads it.
    bool fw_update(const uint8_t *image, uint32_t size, std::atomic<uint32_t> *progress);
    bool get_debug_text(std::string &out);       // appends
    bool run_command(int a, int b, int c, usdevice_command command);
    bool set_param131(int selector1, int selector2, int value);
    bool send_cmd19(int value);
    bool send_cmd23(uint32_t value);
    bool query_cmd24(uint32_t *value);
    bool query_cmd20(bool *value);

    // Image side: the header of the image to install. set_fw_image with a null
    // image changes nothing and yields the header length, the smallest image
    // length worth testing.
    unsigned set_fw_image(const void *image);
    static bool check_fw_image(const void *image, int length);
    bool get_fw_product(std::string &out);   // appends the product name
    uint16_t get_fw_version();
    uint16_t get_fw_build();
    // The image's length as its header declares it: what the checksum test
    // judged, and so all that may be sent; a file may carry more.
    uint32_t get_fw_size();
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
