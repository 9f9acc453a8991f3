#include "driverside.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channelwire.h"

namespace qeldriver {

namespace {

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void put_le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool request_magic(const uint8_t *header)
{
    return std::memcmp(header, QEL_CHANNEL_REQUEST_MAGIC, QEL_CHANNEL_MAGIC_SIZE) == 0;
}

Outcome refuse(const std::string &why)
{
    Outcome o;
    o.error = EINVAL;
    o.what = "malformed: " + why;
    return o;
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

} // namespace

long input_expected(const uint8_t *header)
{
    if (!request_magic(header))
        return -1;
    const uint32_t n = le32(header + QEL_CHANNEL_REQUEST_INPUT_AT);
    const uint32_t m = le32(header + QEL_CHANNEL_REQUEST_OUTPUT_AT);
    if (n > QEL_CHANNEL_MAX_INPUT || m > QEL_CHANNEL_MAX_OUTPUT)
        return -1;
    return static_cast<long>(n);
}

Outcome carry_out(ControlTarget &device, const uint8_t *header, const uint8_t *input,
                  size_t input_length)
{
    if (!request_magic(header))
        return refuse("wrong magic");
    const uint32_t code = le32(header + QEL_CHANNEL_REQUEST_CODE_AT);
    if (code != QEL_CONTROL_CODE)
        return refuse("control code " + std::to_string(code));
    const uint32_t n = le32(header + QEL_CHANNEL_REQUEST_INPUT_AT);
    const uint32_t m = le32(header + QEL_CHANNEL_REQUEST_OUTPUT_AT);
    if (n > QEL_CHANNEL_MAX_INPUT || m > QEL_CHANNEL_MAX_OUTPUT || n != input_length)
        return refuse("lengths " + std::to_string(n) + "/" + std::to_string(m));
    if (n < QEL_CONTROL_MIN_INPUT)
        return refuse("input of " + std::to_string(n) + " bytes");

    const uint32_t direction = le32(input + QEL_CONTROL_DIRECTION_AT);
    const uint32_t length = le32(input + QEL_CONTROL_LENGTH_AT);
    const uint16_t function = le16(input + QEL_CONTROL_FUNCTION_AT);
    const uint16_t value = le16(input + QEL_CONTROL_VALUE_AT);
    const uint16_t index = le16(input + QEL_CONTROL_INDEX_AT);
    const uint8_t request = input[QEL_CONTROL_REQUEST_AT];
    if (direction != QEL_CONTROL_OUT && direction != QEL_CONTROL_IN)
        return refuse("direction " + std::to_string(direction));
    if (function != QEL_CONTROL_FUNCTION_VENDOR_DEVICE)
        return refuse("function " + std::to_string(function));

    const std::string setup = " request " + std::to_string(request) + " value "
                              + std::to_string(value) + " index " + std::to_string(index);
    Outcome o;
    if (direction == QEL_CONTROL_OUT) {
        const uint8_t *payload = input + QEL_CONTROL_HEADER;
        if (length == 0 || length > n - QEL_CONTROL_HEADER)
            return refuse("payload length " + std::to_string(length));
        o.error = static_cast<uint32_t>(device.control_out(request, value, index, payload, length));
        o.what = "OUT" + setup + " [" + hex(payload, length) + "]";
    } else {
        std::vector<uint8_t> buffer(m);
        size_t supplied = 0;
        o.error = static_cast<uint32_t>(
            device.control_in(request, value, index, buffer.data(), m, &supplied));
        if (o.error == 0) {
            buffer.resize(std::min<size_t>(supplied, m));
            o.bytes = std::move(buffer);
        }
        o.what = "IN" + setup + " of " + std::to_string(m) + " [" + hex(o.bytes.data(), o.bytes.size()) + "]";
    }
    if (o.error != 0)
        o.what += " failed: " + std::string(std::strerror(static_cast<int>(o.error)));
    return o;
}

std::vector<uint8_t> encode_reply(const Outcome &outcome)
{
    std::vector<uint8_t> out(QEL_CHANNEL_REPLY_HEADER + outcome.bytes.size());
    std::memcpy(out.data(), QEL_CHANNEL_REPLY_MAGIC, QEL_CHANNEL_MAGIC_SIZE);
    put_le32(&out[QEL_CHANNEL_REPLY_ERROR_AT], outcome.error);
    put_le32(&out[QEL_CHANNEL_REPLY_COUNT_AT], static_cast<uint32_t>(outcome.bytes.size()));
    std::copy(outcome.bytes.begin(), outcome.bytes.end(), out.begin() + QEL_CHANNEL_REPLY_HEADER);
    return out;
}

} // namespace qeldriver
