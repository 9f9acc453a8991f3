#include "uscause.h"

#include <cerrno>

namespace {

const char *const k_names[US_CAUSE_COUNT] = {
    "none",        "no-device",        "no-access",   "gone",
    "timeout",     "refused",          "malformed",   "busy",
    "unsteady",    "mismatch",
    "unreadable",  "not-regular",      "too-large",   "too-short",
    "no-size",     "truncated",        "checksum",
};

} // namespace

const char *us_cause_name(int cause)
{
    return cause >= 0 && cause < US_CAUSE_COUNT ? k_names[cause] : "unknown";
}

bool us_cause_is_final(int cause)
{
    return cause == US_CAUSE_NO_DEVICE || cause == US_CAUSE_NO_ACCESS || cause == US_CAUSE_GONE;
}

us_cause us_cause_of_errno(uint32_t error)
{
    switch (error) {
    case 0:
        return US_CAUSE_NONE;
    // Nothing serves the channel any more: its name is gone, nobody
    // listens behind it, or the driver says the device left.
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED:
    case ENODEV:
    case ENXIO:
        return US_CAUSE_GONE;
    case EACCES:
    case EPERM:
        return US_CAUSE_NO_ACCESS;
    case ETIMEDOUT:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return US_CAUSE_TIMEOUT;
    case EBUSY:
        return US_CAUSE_BUSY;
    case EPROTO:
    case EBADMSG:
        return US_CAUSE_MALFORMED;
    // EIO (a stall), EPIPE, EINVAL (a request the driver would not take), a
    // connection cut mid-reply, and whatever else the wire did: it may go
    // well when asked again.
    default:
        return US_CAUSE_REFUSED;
    }
}
