#include "usmsg.h"

#include <cstring>

#include "usdiag.h"

namespace {

const char kSource[] = "..\\ustest\\usmsg";

// Bytes left between the position and the capacity. A position past the
// capacity (only a caller poking at the fields can make one) leaves no room
// rather than wrapping around to a large count.
int room_of(const UsMsg *msg)
{
    return msg->position < msg->capacity ? msg->capacity - msg->position : 0;
}

} // namespace

int usmsg_init(UsMsg *msg, uint8_t *buf, int capacity)
{
    if (!msg)
        return 1;
    msg->buf = buf;
    msg->capacity = uint8_t(capacity);
    msg->position = 0;
    return 0;
}

int usmsg_reset(UsMsg *msg)
{
    if (!msg)
        return 1;
    msg->position = 0;
    return 0;
}

int usmsg_room(const UsMsg *msg)
{
    if (!msg || msg->position + 3 > msg->capacity)
        return 0;
    return msg->capacity - msg->position - 3;
}

int usmsg_put_header(UsMsg *msg, uint8_t tag, uint8_t type, uint8_t length,
                     uint8_t **value_out, uint8_t *length_out)
{
    if (!msg || !msg->buf)
        return 1;
    const int room = room_of(msg);
    uint8_t *value = nullptr;
    int value_length = 0;
    int size = 0;

    if (room < 2) {
        // A message that ends with the buffer needs no end item.
        if (tag != 0)
            return 1;
    } else {
        // Every check comes before the first write, so a failed append leaves
        // the buffer exactly as it was.
        switch (type) {
        case USMSG_TYPE_END:
            if (tag != 0) {
                us_diag(kSource, 78);
                return 1;
            }
            size = 2;
            break;
        case USMSG_TYPE_NONE:
            size = 2;
            break;
        case USMSG_TYPE_U8:
            if (room < 3) {
                us_diag(kSource, 93);
                return 1;
            }
            value_length = 1;
            size = 3;
            break;
        case USMSG_TYPE_U16:
            if (room < 4) {
                us_diag(kSource, 102);
                return 1;
            }
            value_length = 2;
            size = 4;
            break;
        case USMSG_TYPE_U32:
            if (room < 6) {
                us_diag(kSource, 111);
                return 1;
            }
            value_length = 4;
            size = 6;
            break;
        case USMSG_TYPE_BYTES:
            // A declared length of 0 takes all the room left; with fewer than
            // three bytes of room there is no place even for the length byte.
            value_length = length != 0 ? length : room - 3;
            if (room < 3 || room < value_length + 3) {
                us_diag(kSource, 124);
                return 1;
            }
            size = value_length + 3;
            break;
        default:
            us_diag(kSource, 73);
            return 1;
        }
        uint8_t *p = msg->buf + msg->position;
        p[0] = tag;
        p[1] = type;
        if (type == USMSG_TYPE_BYTES) {
            p[2] = uint8_t(value_length);
            value = p + 3;
        } else if (value_length > 0) {
            value = p + 2;
        }
        msg->position = uint8_t(msg->position + size);
    }

    if (value_out)
        *value_out = value;
    if (length_out)
        *length_out = uint8_t(value_length);
    return 0;
}

int usmsg_put(UsMsg *msg, uint8_t tag, uint8_t type, uintptr_t value, uint8_t length)
{
    uint8_t *dest = nullptr;
    uint8_t dest_length = 0;
    const int status = usmsg_put_header(msg, tag, type, length, &dest, &dest_length);
    if (status != 0)
        return status;
    // An end item dropped for want of room has nowhere to write to.
    if (!dest)
        return 0;
    const uint32_t v = uint32_t(value);
    switch (type) {
    case USMSG_TYPE_U8:
        dest[0] = uint8_t(v);
        break;
    case USMSG_TYPE_U16:
        dest[0] = uint8_t(v);
        dest[1] = uint8_t(v >> 8);
        break;
    case USMSG_TYPE_U32:
        dest[0] = uint8_t(v);
        dest[1] = uint8_t(v >> 8);
        dest[2] = uint8_t(v >> 16);
        dest[3] = uint8_t(v >> 24);
        break;
    case USMSG_TYPE_BYTES: {
        const void *src = reinterpret_cast<const void *>(value);
        if (src)
            std::memmove(dest, src, dest_length);
        else
            std::memset(dest, 0, dest_length);
        break;
    }
    default:
        break;
    }
    return 0;
}

int usmsg_get(UsMsg *msg, int *tag_out, int *type_out, uintptr_t *value_out,
              uint8_t *length_out)
{
    if (!msg || !msg->buf)
        return 1;
    const int room = room_of(msg);
    if (room < 2)
        return 1;
    const uint8_t *p = msg->buf + msg->position;
    const int type = p[1];
    if (type > USMSG_TYPE_BYTES) {
        us_tracef("%s:%d:ERROR %#x\n", kSource, 186, unsigned(type));
        return 1;
    }

    uintptr_t value = 0;
    int length = 0;
    int size = 0;
    switch (type) {
    case USMSG_TYPE_END:
        return 1;
    case USMSG_TYPE_NONE:
        size = 2;
        break;
    case USMSG_TYPE_U8:
        if (room < 3)
            return 1;
        value = p[2];
        length = 1;
        size = 3;
        break;
    case USMSG_TYPE_U16:
        if (room < 4)
            return 1;
        value = uintptr_t(p[2]) | uintptr_t(p[3]) << 8;
        length = 2;
        size = 4;
        break;
    case USMSG_TYPE_U32:
        if (room < 6)
            return 1;
        value = uintptr_t(uint32_t(p[2]) | uint32_t(p[3]) << 8 | uint32_t(p[4]) << 16 |
                          uint32_t(p[5]) << 24);
        length = 4;
        size = 6;
        break;
    default: // USMSG_TYPE_BYTES
        if (room < 3 || room < p[2] + 3)
            return 1;
        value = reinterpret_cast<uintptr_t>(p + 3);
        length = p[2];
        size = length + 3;
        break;
    }

    msg->position = uint8_t(msg->position + size);
    if (tag_out)
        *tag_out = p[0];
    if (type_out)
        *type_out = type;
    if (value_out)
        *value_out = value;
    if (length_out)
        *length_out = uint8_t(length);
    return 0;
}
