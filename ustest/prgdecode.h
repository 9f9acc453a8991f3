// Firmware image format: header fields, the checksum test and file operations.
#ifndef USTEST_PRGDECODE_H
#define USTEST_PRGDECODE_H

#include <cstdint>

#include "uscause.h"

enum { PRG_HEADER_SIZE = 32, PRG_PRODUCT_SIZE = 8, PRG_MIN_IMAGE_SIZE = 36 };

// The longest image file that is read at all. The header's size field could
// declare up to 4 GiB - 1, but no updater holds more than 1 MiB of image (the
// window's buffer), so a longer file can never be installed and reading it
// would only tie up memory.
enum { PRG_MAX_FILE_SIZE = 1048576 };

// The first 32 bytes of an image exactly as stored (multi-byte fields big-endian).
struct prg_header {
    uint8_t bytes[PRG_HEADER_SIZE];
};

int prgdecode_decode(uint8_t *out, const uint8_t *in, int count);
// 0 for a sound image, 1 otherwise; prints the failure's diagnostic line.
int prgdecode_check(const void *image, uint32_t length);
// The same test and print, with the verdict named: US_CAUSE_NONE for a sound
// image, else an image cause, and in *failure_line (may be null) the number
// of the diagnostic line it printed (0 when sound).
us_cause prgdecode_check_result(const void *image, uint32_t length, int *failure_line);
int prgdecode_set_header(prg_header *header, const void *image);
int prgdecode_get_product(const prg_header *header, char *out, int capacity);
uint16_t prgdecode_get_version(const prg_header *header);
uint16_t prgdecode_get_build(const prg_header *header);
uint16_t prgdecode_get_year(const prg_header *header);
uint8_t prgdecode_get_month(const prg_header *header);
uint8_t prgdecode_get_day(const prg_header *header);
uint32_t prgdecode_get_checksum(const prg_header *header);
uint32_t prgdecode_get_size(const prg_header *header);
int32_t prgdecode_get_check_size(const prg_header *header);

// The whole file in a buffer for std::free, or null. Only a regular file of
// at most PRG_MAX_FILE_SIZE bytes is read, and opening never waits (a named
// pipe would block until a writer came). *why (may be null) gets the cause,
// US_CAUSE_NONE once read; an empty file is US_CAUSE_IMAGE_TOO_SHORT.
uint8_t *prgdecode_load_file(const char *path, uint32_t *length_out, int *why);
uint8_t *prgdecode_load(const char *path, uint32_t *length_out);
int prgdecode_read_header(prg_header *header, const char *path);
int prgdecode_check_file(const char *path);
int prgdecode_extract(const char *path);
int prgdecode_print_info(const char *path);

// The body table and its inverse, for whoever has to make images (the image
// maker and the emulated device); the updater itself only decodes.
extern const uint8_t prgdecode_body_table[256];
void prgdecode_encode(uint8_t *out, const uint8_t *in, int count);

#endif
