// Control messages: tagged items packed into one buffer of at most 64 bytes.
#ifndef USTEST_USMSG_H
#define USTEST_USMSG_H

#include <cstdint>

struct UsMsg {
    uint8_t *buf;      // the caller's buffer, not owned
    uint8_t capacity;  // usable bytes in buf
    uint8_t position;  // bytes written while building, consumed while parsing
};

enum {
    USMSG_TYPE_END = 0,
    USMSG_TYPE_NONE = 1,
    USMSG_TYPE_U8 = 2,
    USMSG_TYPE_U16 = 3,
    USMSG_TYPE_U32 = 4,
    USMSG_TYPE_BYTES = 5,
};

int usmsg_init(UsMsg *msg, uint8_t *buf, int capacity);
int usmsg_reset(UsMsg *msg);
int usmsg_room(const UsMsg *msg);
int usmsg_put_header(UsMsg *msg, uint8_t tag, uint8_t type, uint8_t length,
                     uint8_t **value_out, uint8_t *length_out);
// value: the integer for types 2 to 4; for type 5 a pointer to the bytes
// (cast to uintptr_t).
int usmsg_put(UsMsg *msg, uint8_t tag, uint8_t type, uintptr_t value, uint8_t length);
// value_out: the integer, or for type 5 a pointer into the buffer (as uintptr_t).
int usmsg_get(UsMsg *msg, int *tag_out, int *type_out, uintptr_t *value_out,
              uint8_t *length_out);

#endif
