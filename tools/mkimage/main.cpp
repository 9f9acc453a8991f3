// qel-mkimage: writes a sound firmware image file.
//
//   qel-mkimage --out FILE [--product NAME] [--version N] [--build N]
//               [--date YYYY-MM-DD] (--body FILE | --size N --checksum N)
//
// With --body the plain body is taken from a file; with --size and --checksum
// a deterministic body is made so that the image is size bytes long and its
// header carries the wanted checksum. --bad-checksum N, --bad-trailer N and
// --declared-size N write deliberately faulty images for tests.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "mkimage.h"

namespace {

int usage(const char *why)
{
    std::fprintf(stderr, "qel-mkimage: %s\n", why);
    std::fprintf(stderr,
                 "usage: qel-mkimage --out FILE [--product NAME] [--version N] [--build N]\n"
                 "                   [--date YYYY-MM-DD] (--body FILE | --size N --checksum N)\n"
                 "                   [--bad-checksum N] [--bad-trailer N] [--declared-size N]\n");
    return 2;
}

bool number(const char *text, uint64_t max, uint64_t *out)
{
    if (!*text)
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || *end || text[0] == '-' || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    ImageRecipe recipe;
    std::string out, body_file;
    uint64_t size = 0, checksum = 0;
    bool have_size = false, have_checksum = false;

    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (i + 1 >= argc)
            return usage(("missing value for " + opt).c_str());
        const char *val = argv[++i];
        uint64_t n = 0;
        if (opt == "--out") {
            out = val;
        } else if (opt == "--product") {
            recipe.product = val;
        } else if (opt == "--version" && number(val, 0xFFFF, &n)) {
            recipe.version = uint16_t(n);
        } else if (opt == "--build" && number(val, 0xFFFF, &n)) {
            recipe.build = uint16_t(n);
        } else if (opt == "--date") {
            unsigned y = 0, m = 0, d = 0;
            char tail = 0;
            if (std::sscanf(val, "%u-%u-%u%c", &y, &m, &d, &tail) != 3 || y > 0xFFFF || m > 255 ||
                d > 255)
                return usage("bad --date");
            recipe.year = uint16_t(y);
            recipe.month = uint8_t(m);
            recipe.day = uint8_t(d);
        } else if (opt == "--body") {
            body_file = val;
        } else if (opt == "--size" && number(val, 0xFFFFFFFFu, &n)) {
            size = n;
            have_size = true;
        } else if (opt == "--checksum" && number(val, 0xFFFFFFFFu, &n)) {
            checksum = n;
            have_checksum = true;
        } else if (opt == "--bad-checksum" && number(val, 0xFFFFFFFFu, &n)) {
            recipe.header_checksum = uint32_t(n);
        } else if (opt == "--bad-trailer" && number(val, 0xFFFFFFFFu, &n)) {
            recipe.trailer = uint32_t(n);
        } else if (opt == "--declared-size" && number(val, 0xFFFFFFFFu, &n)) {
            recipe.declared_size = uint32_t(n);
        } else {
            return usage(("bad option or value: " + opt + " " + val).c_str());
        }
    }
    if (out.empty())
        return usage("--out is required");
    if (!body_file.empty() == (have_size || have_checksum))
        return usage("give either --body or --size with --checksum");
    if (!body_file.empty()) {
        std::ifstream in(body_file, std::ios::binary);
        if (!in)
            return usage(("cannot read " + body_file).c_str());
        recipe.body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        if (!have_size || !have_checksum)
            return usage("--size and --checksum go together");
        if (size < 36)
            return usage("--size must be at least 36");
        if (!mkimage_synthetic_body(uint32_t(size - 36), uint32_t(checksum), &recipe.body))
            return usage("no body of that size can have that checksum");
    }
    std::vector<uint8_t> image;
    std::string error;
    if (!mkimage_build(recipe, &image, &error))
        return usage(error.c_str());
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "qel-mkimage: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes, %s %u.%02u build %u, checksum %#lx\n", out.c_str(), image.size(),
                recipe.product.c_str(), recipe.version / 100u, recipe.version % 100u, recipe.build,
                (unsigned long)mkimage_sum(recipe.body));
    return 0;
}
