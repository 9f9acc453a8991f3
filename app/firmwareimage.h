// A firmware image file as the updaters take it: read whole, never more than
// an updater can hold, and judged by the device layer's own checksum test,
// so that the window and qel-fwtool accept, refuse and explain the same files
// in the same words.
#ifndef APP_FIRMWAREIMAGE_H
#define APP_FIRMWAREIMAGE_H

#include <cstdint>
#include <string>

#include <QString>

#include "prgdecode.h"
#include "uscause.h"

class FirmwareImage {
public:
    // Reads the whole file at path into buffer (capacity bytes) and tests it.
    // Qt resource paths (":/res/update.bin") are read through QFile. Any other
    // path must name a regular file of at most capacity bytes; opening it
    // never waits, so a named pipe or a device node in its place is refused
    // at once instead of hanging the caller. Returns whether the file was
    // read; sound() says whether it may be installed. Nothing past the
    // file's length is written to buffer.
    bool load(const QString &path, uint8_t *buffer, int capacity);

    // The same for a file-system path exactly as the system names it (bytes
    // on POSIX, UTF-8 on Windows), judged in a buffer of its own that is not
    // kept: a name from the command line that is not UTF-8 would not survive
    // the way through QString. Never a resource.
    bool inspect(const std::string &path);

    bool loaded() const { return loaded_; }
    // Why the file was not read, in a few words ("not a regular file");
    // empty once it was.
    QString load_error() const { return load_error_; }
    // The bytes read; 0 when none were.
    int length() const { return length_; }

    // Header fields are those of the bytes read; all zero without a header.
    bool has_header() const { return length_ >= PRG_HEADER_SIZE; }
    const prg_header &header() const { return header_; }
    // The product name (up to its first NUL), as the device layer gives it;
    // false where that fails.
    bool product(std::string *out) const;
    uint16_t version() const { return prgdecode_get_version(&header_); }
    uint16_t build() const { return prgdecode_get_build(&header_); }
    uint16_t year() const { return prgdecode_get_year(&header_); }
    uint8_t month() const { return prgdecode_get_month(&header_); }
    uint8_t day() const { return prgdecode_get_day(&header_); }
    uint32_t checksum() const { return prgdecode_get_checksum(&header_); }
    uint32_t declared_size() const { return prgdecode_get_size(&header_); }
    int32_t check_size() const { return prgdecode_get_check_size(&header_); }

    bool sound() const { return cause_ == US_CAUSE_NONE; }
    // Why it is not sound: why it was not read, or the checksum test's verdict.
    us_cause cause() const { return cause_; }
    // The test's own failure number (its diagnostic line); 0 when sound or
    // when the file was not read, so the test never saw it.
    int failure() const { return failure_; }

private:
    // Takes what reading gave: a cause and its words, or the bytes to test.
    bool finish(us_cause read_cause, const QString &why, const uint8_t *buffer, int length);

    bool loaded_ = false;
    QString load_error_;
    int length_ = 0;
    prg_header header_{};
    us_cause cause_ = US_CAUSE_IMAGE_UNREADABLE;
    int failure_ = 0;
};

#endif
