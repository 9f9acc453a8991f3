#include "qeldevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "channelwire.h"
#include "prgdecode.h"

namespace qel {

namespace {

// Message items as the device reads and writes them. The device parses on
// its own rather than through the host's framing code, so that a fault in
// either side shows up when the two meet.
enum ItemType { kEnd = 0, kNone = 1, kU8 = 2, kU16 = 3, kU32 = 4, kBytes = 5 };

enum Tag : uint8_t {
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
};

struct Parsed {
    uint8_t tag;
    uint8_t type;
    uint32_t value;        // integers
    const uint8_t *bytes;  // byte strings
    uint8_t length;
};

// Reads the item at data[pos]; false at the end of the message, at an unknown
// type or at an item that does not fit in what is left.
bool parse_item(const uint8_t *data, size_t length, size_t *pos, Parsed *item)
{
    const size_t left = length - *pos;
    if (left < 2)
        return false;
    const uint8_t *p = data + *pos;
    item->tag = p[0];
    item->type = p[1];
    item->value = 0;
    item->bytes = nullptr;
    item->length = 0;
    size_t size = 0;
    switch (p[1]) {
    case kNone:
        size = 2;
        break;
    case kU8:
        size = 3;
        if (left >= size)
            item->value = p[2];
        break;
    case kU16:
        size = 4;
        if (left >= size)
            item->value = uint32_t(p[2]) | uint32_t(p[3]) << 8;
        break;
    case kU32:
        size = 6;
        if (left >= size)
            item->value = uint32_t(p[2]) | uint32_t(p[3]) << 8 | uint32_t(p[4]) << 16 |
                          uint32_t(p[5]) << 24;
        break;
    case kBytes:
        if (left < 3)
            return false;
        size = size_t(p[2]) + 3;
        item->bytes = p + 3;
        item->length = p[2];
        break;
    default: // end item or garbage
        return false;
    }
    if (left < size)
        return false;
    *pos += size;
    return true;
}

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t steady_us()
{
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t param_key(uint8_t s1, uint8_t s2, uint8_t tag)
{
    return uint32_t(s1) << 16 | uint32_t(s2) << 8 | tag;
}

} // namespace

Device::Device(DeviceConfig cfg)
    : cfg_(std::move(cfg)),
      product_(cfg_.product),
      version_(cfg_.version),
      build_(cfg_.build),
      installed_(cfg_.installed),
      noise_state_(cfg_.noise_seed ? cfg_.noise_seed : 1)
{
    if (cfg_.identity_from_image)
        adopt_identity();
}

uint64_t Device::now_us() const
{
    return cfg_.clock_us ? cfg_.clock_us() : steady_us();
}

void Device::adopt_identity()
{
    if (installed_.size() < PRG_HEADER_SIZE)
        return;
    const uint8_t *h = installed_.data();
    const uint8_t *end = std::find(h, h + PRG_PRODUCT_SIZE, uint8_t(0));
    product_.assign(h, end);
    version_ = be16(h + 8);
    build_ = be16(h + 10);
}

bool Device::gone() const { return gone_; }
uint32_t Device::latency_us() const { return cfg_.latency_us; }
std::string Device::product() const { return product_; }
uint16_t Device::version() const { return version_; }
uint16_t Device::build() const { return build_; }
const std::vector<LogEntry> &Device::log() const { return log_; }
std::vector<uint8_t> Device::installed() const { return installed_; }
uint32_t Device::received() const { return offset_; }
bool Device::updated() const { return updated_; }

bool Device::ready() const
{
    return !cfg_.always_busy && now_us() >= busy_until_us_;
}

uint32_t Device::checksum(uint32_t n) const
{
    if (installed_.size() < PRG_MIN_IMAGE_SIZE)
        return 0;
    // The header says how much body there is; a shorter image holds only
    // what it holds.
    const uint32_t size = be32(installed_.data() + 20);
    uint64_t count = size >= PRG_MIN_IMAGE_SIZE ? size - PRG_MIN_IMAGE_SIZE : 0;
    count = std::min<uint64_t>(count, n);
    count = std::min<uint64_t>(count, installed_.size() - PRG_HEADER_SIZE);
    uint32_t sum = 0;
    const uint8_t *body = installed_.data() + PRG_HEADER_SIZE;
    for (uint64_t i = 0; i < count; ++i)
        sum += prgdecode_body_table[body[i]];
    return sum;
}

uint32_t Device::checksum_answer(uint32_t n)
{
    uint32_t sum = checksum(n);
    if (updated_)
        sum += uint32_t(cfg_.checksum_skew);
    if (cfg_.checksum_noise > 0) {
        // xorshift32: the same seed gives the same readings on every run.
        uint32_t x = noise_state_;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        noise_state_ = x;
        const uint64_t span = uint64_t(cfg_.checksum_noise) * 2 + 1;
        const int64_t delta = int64_t(x % span) - int64_t(cfg_.checksum_noise);
        sum += uint32_t(delta);
    }
    return sum;
}

bool Device::answers(uint8_t tag) const
{
    return std::find(cfg_.never_tags.begin(), cfg_.never_tags.end(), tag) == cfg_.never_tags.end();
}

int Device::control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data,
                        size_t length)
{
    if (gone_)
        return ENODEV;
    if (cfg_.keep_log) {
        LogEntry entry{true, request, {}, value, index};
        if (data)
            entry.data.assign(data, data + length);
        log_.push_back(std::move(entry));
    }
    if (writes_refused_ < cfg_.fail_writes) {
        ++writes_refused_;
        return EIO;
    }
    if (request != QEL_REQUEST_MESSAGE || value != 0 || index != 0 || !data || length == 0 ||
        length > QEL_MESSAGE_SIZE)
        return EIO;
    return handle_message(data, length) ? 0 : ENODEV;
}

int Device::control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out,
                       size_t length, size_t *supplied)
{
    if (supplied)
        *supplied = 0;
    if (gone_)
        return ENODEV;
    uint8_t reply[QEL_MESSAGE_SIZE];
    size_t n = std::min<size_t>(length, QEL_MESSAGE_SIZE);
    const bool valid = request == QEL_REQUEST_REPLY && value == 0 && index == 0 && (out || n == 0);
    if (valid) {
        reply_bytes(reply);
        if (cfg_.short_reads &&
            (cfg_.short_read_count == 0 || reads_shortened_ < cfg_.short_read_count)) {
            ++reads_shortened_;
            n = std::min(n, length / 2);
        }
    }
    if (cfg_.keep_log) {
        LogEntry entry{false, request, {}, value, index};
        if (valid)
            entry.data.assign(reply, reply + n);
        log_.push_back(std::move(entry));
    }
    if (!valid)
        return EIO;
    std::memcpy(out, reply, n);
    if (supplied)
        *supplied = n;
    return 0;
}

// The reply: the ready flag, then the answer to the last message, then the
// end item, zero-padded to a whole message. What does not fit is left out; a byte
// string is cut to the room left.
void Device::reply_bytes(uint8_t *reply) const
{
    std::memset(reply, 0, QEL_MESSAGE_SIZE);
    size_t pos = 0;
    auto put = [&](const Answer &a) {
        const size_t left = QEL_MESSAGE_SIZE - pos;
        uint8_t *p = reply + pos;
        size_t size = 0;
        switch (a.type) {
        case kU8: size = 3; break;
        case kU16: size = 4; break;
        case kU32: size = 6; break;
        case kBytes:
            if (left < 3)
                return;
            size = 3 + std::min<size_t>(a.bytes.size(), std::min<size_t>(left - 3, 255));
            break;
        default: size = 2; break;
        }
        if (left < size)
            return;
        p[0] = a.tag;
        p[1] = a.type;
        if (a.type == kBytes) {
            p[2] = uint8_t(size - 3);
            std::memcpy(p + 3, a.bytes.data(), size - 3);
        } else {
            for (size_t i = 2; i < size; ++i)
                p[i] = uint8_t(a.value >> (8 * (i - 2)));
        }
        pos += size;
    };
    if (answers(kTagReady))
        put(Answer{kTagReady, kU8, ready() ? 1u : 0u, {}});
    for (const Answer &a : answer_)
        if (answers(a.tag))
            put(a);
    // The zero fill already holds the end item when room is left for it.
}

bool Device::handle_message(const uint8_t *data, size_t length)
{
    // An answer stays until the next message replaces it.
    answer_.clear();
    selector1_ = 0;
    selector2_ = 0;
    bool selected = false;

    size_t pos = 0;
    Parsed item;
    while (parse_item(data, length, &pos, &item)) {
        const bool integer = item.type != kBytes;
        switch (item.tag) {
        case kTagInfoRequest:
            answer_.push_back({kTagVersion, kU16, version_, {}});
            answer_.push_back({kTagBuild, kU16, build_, {}});
            answer_.push_back({kTagProduct, kBytes, 0, product_});
            break;
        case kTagChecksumRequest:
            if (integer)
                answer_.push_back({kTagChecksum, kU32, checksum_answer(item.value), {}});
            break;
        case kTagStart:
            if (!integer)
                break;
            size_ = item.value;
            offset_ = 0;
            incoming_.clear();
            refused_ = size_ > cfg_.flash_size;
            transferring_ = !refused_;
            if (transferring_) {
                incoming_.resize(size_);
                if (size_ == 0)
                    install();
            }
            break;
        case kTagStatus: {
            uint32_t room = 0;
            uint32_t offset = refused_ ? 0 : offset_;
            if (transferring_ && !cfg_.no_room)
                room = std::min(cfg_.burst_room, size_ - offset_);
            offset -= std::min(offset, cfg_.offset_lag);
            answer_.push_back({kTagRoom, kU32, room, {}});
            answer_.push_back({kTagOffset, kU32, offset, {}});
            break;
        }
        case kTagBlock:
        case kTagLastBlock: {
            if (item.type != kBytes || !transferring_)
                break;
            if (cfg_.vanish_after >= 0 && int64_t(image_bytes_) >= cfg_.vanish_after) {
                gone_ = true;
                return false;
            }
            const uint32_t n = std::min<uint32_t>(item.length, size_ - offset_);
            std::memcpy(incoming_.data() + offset_, item.bytes, n);
            offset_ += n;
            image_bytes_ += n;
            if (item.tag == kTagLastBlock)
                busy_until_us_ = now_us() + cfg_.busy_us;
            if (offset_ == size_)
                install();
            // This block arrived; the device is gone from the next transfer on.
            if (cfg_.vanish_after >= 0 && int64_t(image_bytes_) >= cfg_.vanish_after)
                gone_ = true;
            break;
        }
        case kTagSelector1:
            selector1_ = uint8_t(item.value);
            selected = true;
            answer_.push_back({kTagSelector1, kU8, selector1_, {}});
            break;
        case kTagSelector2:
            selector2_ = uint8_t(item.value);
            selected = true;
            answer_.push_back({kTagSelector2, kU8, selector2_, {}});
            break;
        default:
            // Commands, queries and parameters: a value is stored, a bare tag
            // is answered with what is stored under it.
            if (item.type == kNone) {
                const auto it = params_.find(param_key(selector1_, selector2_, item.tag));
                answer_.push_back(
                    {item.tag, kU8, it == params_.end() ? 0u : uint32_t(it->second), {}});
            } else if (integer) {
                params_[param_key(selector1_, selector2_, item.tag)] = uint8_t(item.value);
            }
            break;
        }
    }
    // A write echoes nothing; only reads answer with their selectors.
    if (selected && std::none_of(answer_.begin(), answer_.end(), [](const Answer &a) {
            return a.tag != kTagSelector1 && a.tag != kTagSelector2;
        }))
        answer_.clear();
    return true;
}

void Device::install()
{
    transferring_ = false;
    // Something shorter than a header and a trailer is no image; the device
    // keeps what it has.
    if (incoming_.size() < PRG_MIN_IMAGE_SIZE)
        return;
    installed_ = std::move(incoming_);
    incoming_.clear();
    updated_ = true;
    adopt_identity();
}

// Fault options ------------------------------------------------------------

namespace {

bool parse_number(const std::string &text, bool allow_sign, int64_t lo, int64_t hi, int64_t *out)
{
    if (text.empty())
        return false;
    size_t i = 0;
    bool negative = false;
    if (allow_sign && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        i = 1;
    }
    int base = 10;
    if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = value * base + digit;
        if (value > (int64_t(1) << 40))
            return false;
    }
    if (negative)
        value = -value;
    if (value < lo || value > hi)
        return false;
    *out = value;
    return true;
}

struct FaultMode {
    const char *name;
    const char *arg;        // shown in the help; nullptr: takes none
    bool arg_optional;
    const char *help;
};

const FaultMode kModes[] = {
    {"busy", nullptr, false, "the ready flag says busy in every reply"},
    {"no-room", nullptr, false, "status answers grant room 0 forever"},
    {"lag", "N", true, "the reported offset lags N bytes behind (default 61)"},
    {"fail-writes", "N", true, "the first N OUT transfers stall (default 1)"},
    {"short-read", "N", true, "IN transfers supply half the bytes asked: the first N, or every one"},
    {"never", "TAG", false, "reply items with tag TAG are never sent (may be given again)"},
    {"checksum-off", "N", false, "checksums are off by N (signed) once an update was installed"},
    {"noise", "N", false, "every checksum answer is off by a pseudo-random -N..N"},
    {"vanish", "N", false, "the device goes away once N image bytes have arrived"},
    {"latency", "US", false, "every transfer takes US microseconds longer"},
};

} // namespace

bool parse_fault(const std::string &text, DeviceConfig &cfg, std::string *error)
{
    const size_t eq = text.find('=');
    const std::string mode = text.substr(0, eq);
    const bool has_arg = eq != std::string::npos;
    const std::string arg = has_arg ? text.substr(eq + 1) : std::string();

    auto fail = [&](const std::string &why) {
        if (error)
            *error = why;
        return false;
    };
    const FaultMode *found = nullptr;
    for (const FaultMode &m : kModes)
        if (mode == m.name)
            found = &m;
    if (!found)
        return fail("unknown fault mode \"" + mode + "\"");
    if (!found->arg && has_arg)
        return fail("fault \"" + mode + "\" takes no value");
    if (found->arg && !found->arg_optional && !has_arg)
        return fail("fault \"" + mode + "\" needs a value: " + mode + "=" + found->arg);

    int64_t n = 0;
    auto number = [&](bool sign, int64_t lo, int64_t hi) {
        return parse_number(arg, sign, lo, hi, &n);
    };
    const std::string bad = "bad value \"" + arg + "\" for fault \"" + mode + "\"";
    const int64_t u32 = 0xFFFFFFFFll;

    if (mode == "busy") {
        cfg.always_busy = true;
    } else if (mode == "no-room") {
        cfg.no_room = true;
    } else if (mode == "lag") {
        if (has_arg && !number(false, 1, u32))
            return fail(bad);
        cfg.offset_lag = has_arg ? uint32_t(n) : 61;
    } else if (mode == "fail-writes") {
        if (has_arg && !number(false, 1, u32))
            return fail(bad);
        cfg.fail_writes = has_arg ? uint32_t(n) : 1;
    } else if (mode == "short-read") {
        if (has_arg && !number(false, 1, u32))
            return fail(bad);
        cfg.short_reads = true;
        cfg.short_read_count = has_arg ? uint32_t(n) : 0;
    } else if (mode == "never") {
        if (!number(false, 0, 255))
            return fail(bad);
        cfg.never_tags.push_back(uint8_t(n));
    } else if (mode == "checksum-off") {
        if (!number(true, INT32_MIN, INT32_MAX))
            return fail(bad);
        cfg.checksum_skew = int32_t(n);
    } else if (mode == "noise") {
        if (!number(false, 0, 0x7FFFFFFF))
            return fail(bad);
        cfg.checksum_noise = uint32_t(n);
    } else if (mode == "vanish") {
        if (!number(false, 0, u32))
            return fail(bad);
        cfg.vanish_after = n;
    } else if (mode == "latency") {
        if (!number(false, 0, u32))
            return fail(bad);
        cfg.latency_us = uint32_t(n);
    }
    return true;
}

std::string fault_help()
{
    std::string help;
    for (const FaultMode &m : kModes) {
        std::string usage = m.name;
        if (m.arg)
            usage += m.arg_optional ? std::string("[=") + m.arg + "]" : std::string("=") + m.arg;
        usage.resize(std::max<size_t>(usage.size() + 2, 18), ' ');
        help += "  " + usage + m.help + "\n";
    }
    return help;
}

} // namespace qel
