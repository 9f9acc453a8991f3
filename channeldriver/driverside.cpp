#include "driverside.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>


namespace qeldriver {

namespace {

const uint8_t k_request_magic[4] = { 'Q', 'E', 'L', 'C' };
const uint32_t k_function_vendor_device = 23;

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void put_le32(std::vector<uint8_t> &out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
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
    if (std::memcmp(header, k_request_magic, 4) != 0)
        return -1;
    const uint32_t n = le32(header + 8);
    const uint32_t m = le32(header + 12);
    if (n > kMaxInput || m > kMaxOutput)
        return -1;
    return static_cast<long>(n);
}

Outcome carry_out(ControlTarget &device, const uint8_t *header, const uint8_t *input,
                  size_t input_length)
{
    if (std::memcmp(header, k_request_magic, 4) != 0)
        return refuse("wrong magic");
    if (le32(header + 4) != kControlCode)
        return refuse("control code " + std::to_string(le32(header + 4)));
    const uint32_t n = le32(header + 8);
    const uint32_t m = le32(header + 12);
    if (n > kMaxInput || m > kMaxOutput || n != input_length)
        return refuse("lengths " + std::to_string(n) + "/" + std::to_string(m));
    if (n < 20)
        return refuse("input of " + std::to_string(n) + " bytes");

    const uint32_t direction = le32(input + 0);
    const uint32_t length = le32(input + 4);
    const uint16_t function = le16(input + 8);
    const uint16_t value = le16(input + 10);
    const uint16_t index = le16(input + 12);
    const uint8_t request = input[15];
    if (direction > 1)
        return refuse("direction " + std::to_string(direction));
    if (function != k_function_vendor_device)
        return refuse("function " + std::to_string(function));

    const std::string setup = " request " + std::to_string(request) + " value "
                              + std::to_string(value) + " index " + std::to_string(index);
    Outcome o;
    if (direction == 0) {
        if (length == 0 || length > n - 16)
            return refuse("payload length " + std::to_string(length));
        o.error = static_cast<uint32_t>(device.control_out(request, value, index, input + 16, length));
        o.what = "OUT" + setup + " [" + hex(input + 16, length) + "]";
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
    std::vector<uint8_t> out = { 'Q', 'E', 'L', 'R' };
    put_le32(out, outcome.error);
    put_le32(out, static_cast<uint32_t>(outcome.bytes.size()));
    out.insert(out.end(), outcome.bytes.begin(), outcome.bytes.end());
    return out;
}

} // namespace qeldriver
