#include "prgdecode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

#include "textescape.h"
#include "usdiag.h"
#include "ustrace.h"

namespace {

const char kSource[] = "..\\ustest\\prgdecode";

uint16_t be16(const uint8_t *p) { return uint16_t((p[0] << 8) | p[1]); }

uint32_t be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Decodes any 32-bit count, in pieces that prgdecode_decode's int count holds.
void decode_all(uint8_t *out, const uint8_t *in, uint32_t count)
{
    const uint32_t piece = 1u << 30;
    while (count > 0) {
        const uint32_t n = count < piece ? count : piece;
        prgdecode_decode(out, in, int(n));
        out += n;
        in += n;
        count -= n;
    }
}

#ifdef _WIN32
// A path is taken as UTF-8, as the command-line updater passes the names it
// was given (the ANSI code page cannot hold every name a user may have);
// bytes that are not UTF-8 are left to the ANSI functions as before. Empty
// for those.
std::wstring wide_path(const char *path)
{
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 1)
        return std::wstring();
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &out[0], n);
    out.resize(size_t(n - 1));
    return out;
}
#endif

std::FILE *create_file(const std::string &path)
{
#ifdef _WIN32
    const std::wstring wide = wide_path(path.c_str());
    if (!wide.empty())
        return _wfopen(wide.c_str(), L"wb");
#endif
    return std::fopen(path.c_str(), "wb");
}

void close_file(int fd)
{
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
}

} // namespace

// The plain value of a stored body byte s is prgdecode_body_table[s].
const uint8_t prgdecode_body_table[256] = {
    0x03, 0x5A, 0xFD, 0x14, 0xAF, 0xC6, 0x19, 0xB0, 0xCB, 0x62, 0x85, 0xDC, 0x77, 0x8E, 0x21, 0x78,
    0x93, 0x2A, 0x4D, 0xE4, 0x3F, 0x56, 0xE9, 0x00, 0x5B, 0xF2, 0x15, 0xAC, 0xC7, 0x1E, 0xB1, 0xC8,
    0x63, 0xBA, 0xDD, 0x74, 0x8F, 0x26, 0x79, 0x90, 0x2B, 0x42, 0xE5, 0x3C, 0x57, 0xEE, 0x01, 0x58,
    0xF3, 0x0A, 0xAD, 0xC4, 0x1F, 0xB6, 0xC9, 0x60, 0xBB, 0xD2, 0x75, 0x8C, 0x27, 0x7E, 0x91, 0x28,
    0x43, 0x9A, 0x3D, 0x54, 0xEF, 0x06, 0x59, 0xF0, 0x0B, 0xA2, 0xC5, 0x1C, 0xB7, 0xCE, 0x61, 0xB8,
    0xD3, 0x6A, 0x8D, 0x24, 0x7F, 0x96, 0x29, 0x40, 0x9B, 0x32, 0x55, 0xEC, 0x07, 0x5E, 0xF1, 0x08,
    0xA3, 0xFA, 0x1D, 0xB4, 0xCF, 0x66, 0xB9, 0xD0, 0x6B, 0x82, 0x25, 0x7C, 0x97, 0x2E, 0x41, 0x98,
    0x33, 0x4A, 0xED, 0x04, 0x5F, 0xF6, 0x09, 0xA0, 0xFB, 0x12, 0xB5, 0xCC, 0x67, 0xBE, 0xD1, 0x68,
    0x83, 0xDA, 0x7D, 0x94, 0x2F, 0x46, 0x99, 0x30, 0x4B, 0xE2, 0x05, 0x5C, 0xF7, 0x0E, 0xA1, 0xF8,
    0x13, 0xAA, 0xCD, 0x64, 0xBF, 0xD6, 0x69, 0x80, 0xDB, 0x72, 0x95, 0x2C, 0x47, 0x9E, 0x31, 0x48,
    0xE3, 0x3A, 0x5D, 0xF4, 0x0F, 0xA6, 0xF9, 0x10, 0xAB, 0xC2, 0x65, 0xBC, 0xD7, 0x6E, 0x81, 0xD8,
    0x73, 0x8A, 0x2D, 0x44, 0x9F, 0x36, 0x49, 0xE0, 0x3B, 0x52, 0xF5, 0x0C, 0xA7, 0xFE, 0x11, 0xA8,
    0xC3, 0x1A, 0xBD, 0xD4, 0x6F, 0x86, 0xD9, 0x70, 0x8B, 0x22, 0x45, 0x9C, 0x37, 0x4E, 0xE1, 0x38,
    0x53, 0xEA, 0x0D, 0xA4, 0xFF, 0x16, 0xA9, 0xC0, 0x1B, 0xB2, 0xD5, 0x6C, 0x87, 0xDE, 0x71, 0x88,
    0x23, 0x7A, 0x9D, 0x34, 0x4F, 0xE6, 0x39, 0x50, 0xEB, 0x02, 0xA5, 0xFC, 0x17, 0xAE, 0xC1, 0x18,
    0xB3, 0xCA, 0x6D, 0x84, 0xDF, 0x76, 0x89, 0x20, 0x7B, 0x92, 0x35, 0x4C, 0xE7, 0x3E, 0x51, 0xE8,
};

int prgdecode_decode(uint8_t *out, const uint8_t *in, int count)
{
    for (int i = 0; i < count; ++i)
        out[i] = prgdecode_body_table[in[i]];
    return count;
}

void prgdecode_encode(uint8_t *out, const uint8_t *in, int count)
{
    static uint8_t inverse[256];
    static const bool ready = [] {
        for (int s = 0; s < 256; ++s)
            inverse[prgdecode_body_table[s]] = uint8_t(s);
        return true;
    }();
    (void)ready;
    for (int i = 0; i < count; ++i)
        out[i] = inverse[in[i]];
}

namespace {

// Prints the failure site's diagnostic line and hands on its number and cause.
us_cause check_failed(int site, us_cause cause, int *failure_line)
{
    us_diag(kSource, site);
    *failure_line = site;
    return cause;
}

} // namespace

us_cause prgdecode_check_result(const void *image, uint32_t length, int *failure_line)
{
    int unused = 0;
    int *line = failure_line ? failure_line : &unused;
    *line = 0;
    if (!image)
        return check_failed(151, US_CAUSE_IMAGE_UNREADABLE, line);
    const uint8_t *bytes = static_cast<const uint8_t *>(image);
    // The header can only be read once the caller's buffer is known to hold it.
    if (length < PRG_HEADER_SIZE) {
        const us_cause cause = check_failed(167, US_CAUSE_IMAGE_TOO_SHORT, line);
        us_tracef("check size = %ld, fw_size = %ld\n", 0L, long(length));
        return cause;
    }
    const uint32_t size = be32(bytes + 20);
    if (size == 0)
        return check_failed(157, US_CAUSE_IMAGE_NO_SIZE, line);
    if (size > length)
        return check_failed(161, US_CAUSE_IMAGE_TRUNCATED, line);
    // A declared size below the smallest sound image leaves no room for the
    // trailer; summing it would read bytes that were never decoded.
    if (length < PRG_MIN_IMAGE_SIZE || size < PRG_MIN_IMAGE_SIZE) {
        const us_cause cause = check_failed(167, US_CAUSE_IMAGE_TOO_SHORT, line);
        us_tracef("check size = %ld, fw_size = %ld\n", 0L,
                    long(length < PRG_MIN_IMAGE_SIZE ? length : size));
        return cause;
    }
    uint8_t *work = static_cast<uint8_t *>(std::malloc(size));
    // Without room to decode it the image cannot be judged, let alone sent.
    if (!work)
        return check_failed(176, US_CAUSE_IMAGE_UNREADABLE, line);
    decode_all(work + PRG_HEADER_SIZE, bytes + PRG_HEADER_SIZE, size - PRG_HEADER_SIZE);

    const uint32_t check_size = size - PRG_MIN_IMAGE_SIZE;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < check_size; ++i)
        sum += work[PRG_HEADER_SIZE + i];
    const uint32_t header_sum = be32(bytes + 16);
    const uint32_t trailer = be32(work + size - 4);
    std::free(work);

    if (sum != header_sum) {
        const us_cause cause = check_failed(191, US_CAUSE_IMAGE_CHECKSUM, line);
        us_tracef("check_size = %ld, real sum = %#lx, hdr sum = %#lx\n", long(check_size),
                    (unsigned long)sum, (unsigned long)header_sum);
        return cause;
    }
    if (trailer != sum) {
        const us_cause cause = check_failed(199, US_CAUSE_IMAGE_CHECKSUM, line);
        us_tracef("check_size = %ld, real sum = %#lx, hdr sum = %#lx\n", long(check_size),
                    (unsigned long)trailer, (unsigned long)header_sum);
        return cause;
    }
    return US_CAUSE_NONE;
}

int prgdecode_check(const void *image, uint32_t length)
{
    return prgdecode_check_result(image, length, nullptr) == US_CAUSE_NONE ? 0 : 1;
}

int prgdecode_set_header(prg_header *header, const void *image)
{
    if (image)
        std::memcpy(header->bytes, image, PRG_HEADER_SIZE);
    return PRG_HEADER_SIZE;
}

int prgdecode_get_product(const prg_header *header, char *out, int capacity)
{
    if (capacity <= PRG_PRODUCT_SIZE) {
        us_diag(kSource, 99);
        return -1;
    }
    std::memcpy(out, header->bytes, PRG_PRODUCT_SIZE);
    out[PRG_PRODUCT_SIZE] = '\0';
    return 0;
}

uint16_t prgdecode_get_version(const prg_header *header) { return be16(header->bytes + 8); }
uint16_t prgdecode_get_build(const prg_header *header) { return be16(header->bytes + 10); }
uint16_t prgdecode_get_year(const prg_header *header) { return be16(header->bytes + 12); }
uint8_t prgdecode_get_month(const prg_header *header) { return header->bytes[14]; }
uint8_t prgdecode_get_day(const prg_header *header) { return header->bytes[15]; }
uint32_t prgdecode_get_checksum(const prg_header *header) { return be32(header->bytes + 16); }
uint32_t prgdecode_get_size(const prg_header *header) { return be32(header->bytes + 20); }

int32_t prgdecode_get_check_size(const prg_header *header)
{
    return int32_t(int64_t(prgdecode_get_size(header)) - PRG_MIN_IMAGE_SIZE);
}

namespace {

// Opens path for reading if it is a regular file, without waiting for
// anything: a named pipe would otherwise hold the open until a writer came,
// and a device could hand out bytes forever. -1 with *why set otherwise; the
// file's length goes to *length.
int open_regular(const char *path, int64_t *length, int *why)
{
#ifdef _WIN32
    const std::wstring wide = wide_path(path);
    const int fd = wide.empty() ? _open(path, _O_RDONLY | _O_BINARY)
                                : _wopen(wide.c_str(), _O_RDONLY | _O_BINARY);
    struct _stat64 st;
    const bool stated = fd >= 0 && _fstat64(fd, &st) == 0;
    const bool regular = stated && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st;
    const bool stated = fd >= 0 && ::fstat(fd, &st) == 0;
    const bool regular = stated && S_ISREG(st.st_mode);
#endif
    if (!regular) {
        *why = stated ? US_CAUSE_IMAGE_NOT_REGULAR : US_CAUSE_IMAGE_UNREADABLE;
        if (fd >= 0)
            close_file(fd);
        return -1;
    }
    *length = int64_t(st.st_size);
    return fd;
}

// Reads up to n bytes; fewer only at the end of the file or on an error.
size_t read_up_to(int fd, uint8_t *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const size_t want = n - got < (1u << 30) ? n - got : (1u << 30);
#ifdef _WIN32
        const int r = _read(fd, p + got, unsigned(want));
#else
        const ssize_t r = ::read(fd, p + got, want);
        if (r < 0 && errno == EINTR)
            continue;
#endif
        if (r <= 0)
            break;
        got += size_t(r);
    }
    return got;
}

} // namespace

uint8_t *prgdecode_load_file(const char *path, uint32_t *length_out, int *why)
{
    int reason = US_CAUSE_NONE;
    int64_t length = -1;
    uint8_t *buf = nullptr;
    const int fd = open_regular(path, &length, &reason);
    if (fd < 0) {
        us_diag(kSource, 23);
    } else if (length < 0 || length > PRG_MAX_FILE_SIZE) {
        us_diag(kSource, 28);
        reason = US_CAUSE_IMAGE_TOO_LARGE;
    } else if (length == 0) {
        us_diag(kSource, 33);
        reason = US_CAUSE_IMAGE_TOO_SHORT;
    } else if (!(buf = static_cast<uint8_t *>(std::malloc(size_t(length))))) {
        us_diag(kSource, 43);
        reason = US_CAUSE_IMAGE_UNREADABLE;
    } else if (read_up_to(fd, buf, size_t(length)) != size_t(length)) {
        // It shrank since it was measured, or a read failed.
        us_diag(kSource, 47);
        reason = US_CAUSE_IMAGE_UNREADABLE;
        std::free(buf);
        buf = nullptr;
    }
    if (fd >= 0)
        close_file(fd);
    if (buf && length_out)
        *length_out = uint32_t(length);
    if (why)
        *why = reason;
    return buf;
}

uint8_t *prgdecode_load(const char *path, uint32_t *length_out)
{
    return prgdecode_load_file(path, length_out, nullptr);
}

int prgdecode_read_header(prg_header *header, const char *path)
{
    std::memset(header->bytes, 0, PRG_HEADER_SIZE);
    int why = US_CAUSE_NONE;
    int64_t length = 0;
    const int fd = open_regular(path, &length, &why);
    if (fd < 0) {
        us_diag(kSource, 73);
        return 1;
    }
    const size_t got = read_up_to(fd, header->bytes, PRG_HEADER_SIZE);
    close_file(fd);
    if (got != PRG_HEADER_SIZE) {
        us_diag(kSource, 77);
        return 1;
    }
    return 0;
}

int prgdecode_check_file(const char *path)
{
    uint32_t length = 0;
    uint8_t *buf = prgdecode_load(path, &length);
    if (!buf) {
        us_diag(kSource, 220);
        return 1;
    }
    const int result = prgdecode_check(buf, length);
    std::free(buf);
    return result;
}

int prgdecode_extract(const char *path)
{
    uint32_t length = 0;
    uint8_t *buf = prgdecode_load(path, &length);
    // A file without a whole header has no body to extract.
    if (!buf || length < PRG_HEADER_SIZE) {
        std::free(buf);
        us_diag(kSource, 246);
        return 1;
    }
    const std::string out_name = std::string(path) + ".bin";
    const uint32_t body_length = length - PRG_HEADER_SIZE;
    uint8_t *body = static_cast<uint8_t *>(std::malloc(body_length ? body_length : 1));
    if (!body) {
        std::free(buf);
        us_diag(kSource, 261);
        return 1;
    }
    decode_all(body, buf + PRG_HEADER_SIZE, body_length);
    int result = 0;
    std::FILE *out = create_file(out_name);
    if (!out) {
        us_diag(kSource, 268);
        result = 1;
    } else {
        // An empty body is an empty output file, not a failed write.
        if (body_length && std::fwrite(body, body_length, 1, out) != 1) {
            us_diag(kSource, 272);
            result = 1;
        }
        if (std::fclose(out) != 0 && result == 0) {
            us_diag(kSource, 272);
            result = 1;
        }
    }
    std::free(body);
    std::free(buf);
    return result;
}

int prgdecode_print_info(const char *path)
{
    // Names and products are shown, never obeyed by the terminal.
    us_tracef("filename: %s\n", escape_terminal_text(path).c_str());
    prg_header header;
    if (prgdecode_read_header(&header, path) != 0) {
        us_diag(kSource, 293);
        return -1;
    }
    char product[PRG_PRODUCT_SIZE + 1];
    std::memcpy(product, header.bytes, PRG_PRODUCT_SIZE);
    product[PRG_PRODUCT_SIZE] = '\0';
    us_tracef("product: %s\n", escape_terminal_text(product).c_str());
    us_tracef("version: %u\n", unsigned(prgdecode_get_version(&header)));
    us_tracef("build: %u\n", unsigned(prgdecode_get_build(&header)));
    us_tracef("date: %u/%u/%u\n", unsigned(prgdecode_get_year(&header)),
                unsigned(prgdecode_get_month(&header)), unsigned(prgdecode_get_day(&header)));
    us_tracef("checksum: %#lx\n", (unsigned long)prgdecode_get_checksum(&header));
    us_tracef("size: %lu\n", (unsigned long)prgdecode_get_size(&header));
    us_tracef("test checksum...\n");
    if (prgdecode_check_file(path) == 0) {
        us_tracef("OK\n");
        return 0;
    }
    us_tracef("NG\n");
    us_diag(kSource, 312);
    return -1;
}
