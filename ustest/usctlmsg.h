// What the device commands and the firmware transfer share: the tag
// vocabulary, the reply item reader and the one way a request is finished
// and sent. Internal to the device layer.
#ifndef USTEST_USCTLMSG_H
#define USTEST_USCTLMSG_H

#include <cstdint>
#include <initializer_list>

#include "channelwire.h"
#include "usctl.h"
#include "usmsg.h"

namespace usctl_detail {

enum {
    kMessageSize = QEL_MESSAGE_SIZE,
    kRequestWrite = QEL_REQUEST_MESSAGE,
    kRequestRead = QEL_REQUEST_REPLY,
    kPollMs = 5,

    kTagDebug = 18,
    kTagQuery20 = 20,
    kTagQuery24 = 24,
    kTagStart = 33,
    kTagStatus = 34,
    kTagRoom = 35,
    kTagOffset = 36,
    kTagBlock = 37,
    kTagLastBlock = 38,
    kTagChecksumRequest = 39,
    kTagChecksum = 40,
    kTagInfoRequest = 49,
    kTagVersion = 50,
    kTagBuild = 51,
    kTagProduct = 52,
    kTagSelector1 = 97,
    kTagSelector2 = 98,
    kTagReady = 161,

    kBlockSize = 61,
};

// Prints the failure line of the commands' source, whichever file it is in.
void diag(int line);

// Names the cause of a failure the protocol itself detected.
void set_cause(usctl_handle *dev, us_cause cause);
// The channel's last request failed for good (the device went, access was
// taken away): asking again would only repeat it.
bool failed_for_good(usctl_handle *dev);

// One item of a parsed reply.
struct Item {
    int tag = 0;
    int type = 0;
    uintptr_t value = 0;
    uint8_t length = 0;

    const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(value); }
    // Integers come as types 1 to 4; a byte string's value is a pointer into
    // the reply, never a number the device sent.
    bool integer(uint32_t *out) const
    {
        if (type == USMSG_TYPE_BYTES)
            return false;
        *out = uint32_t(value);
        return true;
    }
};

bool next_item(UsMsg *msg, Item *item);

struct RequestItem {
    uint8_t tag;
    uint8_t type;
    uint32_t value;
};

// The last steps of every request: the end item, then wait for the device
// and send, each with its own failure line.
int end_and_send(usctl_handle *dev, UsMsg *msg, int end_line, int wait_line, int send_line);

// The request pattern: the items, then end_and_send. lines holds one failure
// line per item, then the lines of the end item, the wait and the send.
int send_request(usctl_handle *dev, UsMsg *msg, std::initializer_list<RequestItem> items,
                 std::initializer_list<int> lines);

} // namespace usctl_detail

#endif
