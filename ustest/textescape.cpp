#include "textescape.h"

#include <cstdint>

namespace {

void hex_escape(std::string *out, unsigned char byte)
{
    static const char digits[] = "0123456789abcdef";
    *out += "\\x";
    *out += digits[byte >> 4];
    *out += digits[byte & 15];
}

// The length of the well-formed UTF-8 sequence at s[i] (shortest form, no
// surrogates, nothing past U+10FFFF); 0 when there is none.
size_t utf8_length(const std::string &s, size_t i, uint32_t *code_point)
{
    const unsigned char b0 = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp, least;
    if (b0 < 0x80) {
        *code_point = b0;
        return 1;
    } else if (b0 >= 0xc2 && b0 <= 0xdf) {
        n = 2, cp = b0 & 0x1f, least = 0x80;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        n = 3, cp = b0 & 0x0f, least = 0x800;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        n = 4, cp = b0 & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < n)
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xc0) != 0x80)
            return 0;
        cp = cp << 6 | (b & 0x3f);
    }
    if (cp < least || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    *code_point = cp;
    return n;
}

} // namespace

std::string escape_terminal_text(const std::string &bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        uint32_t cp = 0;
        const size_t n = utf8_length(bytes, i, &cp);
        if (n == 0) {
            hex_escape(&out, static_cast<unsigned char>(bytes[i]));
            ++i;
            continue;
        }
        if (cp < 0x20 || cp == 0x7f || (cp >= 0x80 && cp <= 0x9f)) {
            for (size_t k = 0; k < n; ++k)
                hex_escape(&out, static_cast<unsigned char>(bytes[i + k]));
        } else {
            out.append(bytes, i, n);
        }
        i += n;
    }
    return out;
}
