#include "mkimage.h"

#include "prgdecode.h"

namespace {

void put16(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

} // namespace

uint32_t mkimage_sum(const std::vector<uint8_t> &body)
{
    uint32_t sum = 0;
    for (uint8_t b : body)
        sum += b;
    return sum;
}

bool mkimage_synthetic_body(uint32_t length, uint32_t wanted, std::vector<uint8_t> *body)
{
    if (uint64_t(wanted) > uint64_t(length) * 255u || (length == 0 && wanted != 0))
        return false;
    body->assign(length, 0);
    if (length == 0)
        return true;
    // Every byte starts at the mean; the remainder is spread evenly over the
    // body, one extra unit to each of rest bytes.
    const uint32_t base = wanted / length;
    const uint32_t rest = wanted % length;
    for (uint32_t i = 0; i < length; ++i) {
        const bool extra = (uint64_t(i + 1) * rest) / length != (uint64_t(i) * rest) / length;
        (*body)[i] = uint8_t(base + (extra ? 1 : 0));
    }
    // Noise in pairs, +d on one byte and -d on the next, keeps the sum.
    uint32_t state = 0x9E3779B9u ^ length ^ (wanted * 2654435761u);
    for (uint32_t i = 0; i + 1 < length; i += 2) {
        const uint32_t lo = (*body)[i] < (*body)[i + 1] ? (*body)[i] : (*body)[i + 1];
        const uint32_t hi = (*body)[i] > (*body)[i + 1] ? (*body)[i] : (*body)[i + 1];
        const uint32_t span = lo < 255 - hi ? lo : 255 - hi;
        state = state * 1664525u + 1013904223u;
        const uint32_t d = span ? (state >> 8) % (span + 1) : 0;
        (*body)[i] = uint8_t((*body)[i] + d);
        (*body)[i + 1] = uint8_t((*body)[i + 1] - d);
    }
    return true;
}

bool mkimage_build(const ImageRecipe &recipe, std::vector<uint8_t> *image, std::string *error)
{
    if (recipe.product.size() > PRG_PRODUCT_SIZE) {
        *error = "product name longer than 8 bytes";
        return false;
    }
    const uint64_t length = uint64_t(PRG_MIN_IMAGE_SIZE) + recipe.body.size();
    if (length > 0xFFFFFFFFu) {
        *error = "image too large";
        return false;
    }
    const uint32_t sum = mkimage_sum(recipe.body);
    image->assign(size_t(length), 0);
    uint8_t *p = image->data();
    for (size_t i = 0; i < recipe.product.size(); ++i)
        p[i] = uint8_t(recipe.product[i]);
    put16(p + 8, recipe.version);
    put16(p + 10, recipe.build);
    put16(p + 12, recipe.year);
    p[14] = recipe.month;
    p[15] = recipe.day;
    put32(p + 16, recipe.header_checksum.value_or(sum));
    put32(p + 20, recipe.declared_size.value_or(uint32_t(length)));

    std::vector<uint8_t> plain(recipe.body);
    plain.resize(recipe.body.size() + 4);
    put32(plain.data() + recipe.body.size(), recipe.trailer.value_or(sum));
    prgdecode_encode(p + PRG_HEADER_SIZE, plain.data(), int(plain.size()));
    return true;
}
