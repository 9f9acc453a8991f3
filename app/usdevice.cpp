#include "usdevice.h"

#include <cstring>

UsDevice::UsDevice()
    : device(), handle(nullptr), fw_header(), fw_file_path()
{
    usctl_init(&device);
    open();
}

bool UsDevice::open()
{
    handle = nullptr;
    if (usctl_exit(&device) != 0)
        return false;
    return usctl_open(&device, &handle) == 0;
}

bool UsDevice::open_path(const usbdevs_char *path)
{
    handle = nullptr;
    if (usctl_exit(&device) != 0)
        return false;
    return usbdevs_open_path(&device.ctx, &handle, path) == 0;
}

bool UsDevice::close()
{
    handle = nullptr;
    return true;
}

bool UsDevice::is_open() const
{
    return handle != nullptr;
}

us_cause UsDevice::cause() const
{
    return handle ? usbdevs_last_cause(handle) : US_CAUSE_NO_DEVICE;
}

std::string UsDevice::name() const
{
    return usbdevs_device_name(path());
}

const usbdevs_char *UsDevice::path() const
{
    static const usbdevs_char none[1] = { 0 };
    return handle ? device.ctx.dev[0].path : none;
}

bool UsDevice::get_product(std::string &out)
{
    if (!handle)
        return false;
    uint8_t name[64];
    uint8_t length = 0;
    if (usctl_get_product(&handle, name, sizeof name, &length) != 0)
        return false;
    out.append(reinterpret_cast<const char *>(name), length < sizeof name ? length : sizeof name);
    return true;
}

bool UsDevice::get_version(uint16_t *version)
{
    return handle && usctl_get_version(&handle, version) == 0;
}

bool UsDevice::get_build(uint16_t *build)
{
    return handle && usctl_get_build(&handle, build) == 0;
}

bool UsDevice::get_hw_checksum(uint32_t length, uint32_t *sum)
{
    return handle && usctl_get_checksum(&handle, length, sum) == 0;
}

bool UsDevice::fw_update(const uint8_t *image, uint32_t size, std::atomic<uint32_t> *progress)
{
    return handle && usctl_fwup(&handle, image, size, progress) == 0;
}

bool UsDevice::get_debug_text(std::string &out)
{
    if (!handle)
        return false;
    uint8_t text[64];
    uint8_t length = 0;
    if (usctl_get_debug(&handle, text, 63, &length) != 0 || length == 0)
        return false;
    out.append(reinterpret_cast<const char *>(text), length < 63 ? length : 63);
    return true;
}

bool UsDevice::run_command(int a, int b, int c, usdevice_command command)
{
    return handle && command && command(&handle, a, b & 0xFF, c & 0xFF) == 0;
}

bool UsDevice::set_param131(int selector1, int selector2, int value)
{
    return handle && usctl_set_param131(&handle, selector1, selector2 & 0xFF, value & 0xFF) == 0;
}

bool UsDevice::send_cmd19(int value)
{
    return handle && usctl_cmd19(&handle, value & 0xFF) == 0;
}

bool UsDevice::send_cmd23(uint32_t value)
{
    return handle && usctl_cmd23(&handle, value) == 0;
}

bool UsDevice::query_cmd24(uint32_t *value)
{
    return handle && usctl_query24(&handle, value) == 0;
}

bool UsDevice::query_cmd20(bool *value)
{
    if (!handle)
        return false;
    uint8_t byte = 0;
    if (usctl_query20(&handle, &byte) != 0)
        return false;
    if (value)
        *value = byte != 0;
    return true;
}

unsigned UsDevice::set_fw_image(const void *image)
{
    return unsigned(prgdecode_set_header(&fw_header, image));
}

bool UsDevice::check_fw_image(const void *image, int length)
{
    // A negative length would turn into a huge unsigned one below.
    if (length < 0)
        return false;
    return prgdecode_check(image, uint32_t(length)) == 0;
}

bool UsDevice::get_fw_product(std::string &out)
{
    char name[64];
    if (prgdecode_get_product(&fw_header, name, int(sizeof name)) != 0)
        return false;
    out.append(name, strnlen(name, PRG_PRODUCT_SIZE));
    return true;
}

uint16_t UsDevice::get_fw_version()
{
    return prgdecode_get_version(&fw_header);
}

uint16_t UsDevice::get_fw_build()
{
    return prgdecode_get_build(&fw_header);
}

uint32_t UsDevice::get_fw_size()
{
    return prgdecode_get_size(&fw_header);
}

int UsDevice::get_fw_check_size()
{
    return prgdecode_get_check_size(&fw_header);
}

uint32_t UsDevice::get_fw_checksum()
{
    return prgdecode_get_checksum(&fw_header);
}

bool UsDevice::set_fw_path(const std::string &path)
{
    fw_file_path = path;
    if (prgdecode_read_header(&fw_header, fw_file_path.c_str()) != 0) {
        fw_file_path.clear();
        return false;
    }
    return true;
}

bool UsDevice::check_fw_path()
{
    if (fw_file_path.empty())
        return false;
    return prgdecode_check_file(fw_file_path.c_str()) == 0;
}
