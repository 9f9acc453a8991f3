// Making firmware images: the one place where images for the resources, the
// tests and the emulated device come from, so that none is hand-edited.
#ifndef TOOLS_MKIMAGE_MKIMAGE_H
#define TOOLS_MKIMAGE_MKIMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ImageRecipe {
    std::string product = "Qel";   // at most 8 bytes
    uint16_t version = 102;
    uint16_t build = 31;
    uint16_t year = 2017;
    uint8_t month = 3;
    uint8_t day = 13;
    std::vector<uint8_t> body;     // plain (decoded) body bytes

    // Deliberate faults, for tests of the checks; a sound image leaves them unset.
    std::optional<uint32_t> header_checksum;   // written instead of the body's sum
    std::optional<uint32_t> trailer;           // plain trailer value instead of the sum
    std::optional<uint32_t> declared_size;     // size field instead of the real length
};

// The sum of the plain body bytes, modulo 2^32, as the header carries it.
uint32_t mkimage_sum(const std::vector<uint8_t> &body);

// A deterministic, noisy-looking body of length bytes whose sum is wanted.
// Returns false when no body of that length can have that sum.
bool mkimage_synthetic_body(uint32_t length, uint32_t wanted, std::vector<uint8_t> *body);

// The whole image file: plain header, scrambled body, scrambled trailer.
// Returns false (with *error) when the recipe cannot be written.
bool mkimage_build(const ImageRecipe &recipe, std::vector<uint8_t> *image, std::string *error);

#endif
