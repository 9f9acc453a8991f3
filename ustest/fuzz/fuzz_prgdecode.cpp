// Any byte sequence as a firmware image: the checksum test and the header
// getters must neither crash nor read outside the buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "prgdecode.h"
#include "ustrace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const us_trace_fn quiet = us_set_trace(&us_trace_discard);   // no use for the lines
    (void)quiet;
    // An exact-size copy, so that the sanitizers see any read past the end.
    std::vector<uint8_t> image(data, data + size);
    prgdecode_check(image.empty() ? nullptr : image.data(), uint32_t(image.size()));
    if (size >= PRG_HEADER_SIZE) {
        prg_header h;
        prgdecode_set_header(&h, image.data());
        char name[PRG_PRODUCT_SIZE + 1];
        prgdecode_get_product(&h, name, sizeof name);
        (void)prgdecode_get_check_size(&h);
    }
    return 0;
}
