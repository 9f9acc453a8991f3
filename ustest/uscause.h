// Why a device-layer operation failed, named once where the failure arises:
// the channel translates the system's error codes, the protocol and image
// code set theirs where they detect them. Callers read the cause of the last
// failure instead of guessing it again from texts or a stale errno.
#ifndef USTEST_USCAUSE_H
#define USTEST_USCAUSE_H

#include <cstdint>

enum us_cause {
    US_CAUSE_NONE = 0,
    // The device and its channel.
    US_CAUSE_NO_DEVICE,       // no device was found or opened
    US_CAUSE_NO_ACCESS,       // the channel exists but may not be used
    US_CAUSE_GONE,            // the device or its driver went away
    US_CAUSE_TIMEOUT,         // no (whole) answer in time
    US_CAUSE_REFUSED,         // a request refused, stalled, or answered without what was asked
    US_CAUSE_MALFORMED,       // a reply that breaks the channel's or the protocol's rules
    US_CAUSE_BUSY,            // the device kept saying it was busy
    // What the device reported about its firmware.
    US_CAUSE_UNSTEADY,        // its checksum readings before an update did not agree
    US_CAUSE_MISMATCH,        // after the update its checksum is not the image's
    // The firmware image.
    US_CAUSE_IMAGE_UNREADABLE,    // cannot be opened or read
    US_CAUSE_IMAGE_NOT_REGULAR,   // a directory, a named pipe, a device...
    US_CAUSE_IMAGE_TOO_LARGE,     // longer than any image can be
    US_CAUSE_IMAGE_TOO_SHORT,     // shorter than its header or than any image
    US_CAUSE_IMAGE_NO_SIZE,       // the header declares no size
    US_CAUSE_IMAGE_TRUNCATED,     // shorter than the size its header declares
    US_CAUSE_IMAGE_CHECKSUM,      // the sums do not match
    US_CAUSE_COUNT
};

// A short fixed name for logs, JSON and traces ("gone", "timeout", ...);
// "none" for US_CAUSE_NONE and "unknown" for a value out of range.
const char *us_cause_name(int cause);

// Causes that no amount of asking again can change: waiting on them only
// repeats the same failure.
bool us_cause_is_final(int cause);

// The device channel's error numbers (errno values, also what a driver
// reports in its reply) as causes; 0 is US_CAUSE_NONE.
us_cause us_cause_of_errno(uint32_t error);

#endif
