#include "usdevice.h"

#include <cstring>

UsDevice::UsDevice()
    : device(), handle(nullptr), fw_header(), fw_file_path()
{
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
