// Any reply bytes: the parser must stay inside the 64-byte buffer and every
// byte-string value it hands out must lie inside it too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "usmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t buf[64] = {};
    if (size)
        std::memcpy(buf, data, size < sizeof buf ? size : sizeof buf);
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    int tag = 0, type = 0;
    uintptr_t value = 0;
    uint8_t length = 0;
    while (usmsg_get(&msg, &tag, &type, &value, &length) == 0) {
        if (type == USMSG_TYPE_BYTES) {
            const uint8_t *p = reinterpret_cast<const uint8_t *>(value);
            if (p < buf || p + length > buf + sizeof buf)
                std::abort();
        }
        if (msg.position > msg.capacity)
            std::abort();
    }
    // Building from the same bytes: lengths and types as they come.
    uint8_t out[64] = {};
    usmsg_init(&msg, out, sizeof out);
    for (size_t i = 0; i + 2 < size && i < 64; i += 3)
        usmsg_put(&msg, data[i], data[i + 1] % 7, reinterpret_cast<uintptr_t>(buf), data[i + 2]);
    if (msg.position > sizeof out)
        std::abort();
    return 0;
}
