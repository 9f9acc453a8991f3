#include "tracereplay.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace devsim {

namespace {

const size_t k_no_offset = static_cast<size_t>(-1);
// Bytes shown of a request; enough to see what changed without the whole message.
const size_t k_shown = 8;

// Some bytes as hex: from just before `at` when it is given, else from the
// start, with "…" where bytes are left out.
std::string hex_window(const uint8_t *p, size_t n, size_t at)
{
    const size_t from = at == k_no_offset || at < 2 ? 0 : std::min(at - 2, n);
    const size_t to = std::min(n, from + k_shown);
    std::string s = from > 0 ? "…" : "";
    char b[3];
    for (size_t i = from; i < to; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    if (to < n)
        s += "…";
    return s;
}

std::string describe(uint8_t request, bool in, const uint8_t *data, size_t length, size_t at)
{
    const std::string size = "(" + std::to_string(length) + " bytes)";
    if (in)
        return std::to_string(request) + " in " + size;
    return std::to_string(request) + " out " + hex_window(data, length, at) + size;
}

size_t first_difference(const std::vector<uint8_t> &a, const uint8_t *b, size_t n)
{
    const size_t common = std::min(a.size(), n);
    for (size_t i = 0; i < common; ++i)
        if (a[i] != b[i])
            return i;
    return common;
}

} // namespace

TraceReplay::TraceReplay(Trace trace) : trace_(std::move(trace)) {}

const RecordedRequest *TraceReplay::next(uint8_t request, bool in, const uint8_t *data,
                                         size_t length)
{
    if (diverged_)
        return nullptr;
    const std::string where = "diverged: request " + std::to_string(next_ + 1) + ": expected ";
    if (next_ >= trace_.requests.size()) {
        diverged_ = true;
        divergence_ = where + "the end of the trace, got "
                      + describe(request, in, data, length, k_no_offset);
        return nullptr;
    }
    const RecordedRequest &r = trace_.requests[next_];
    const bool recorded_in = r.request == 30;
    const bool same_kind = r.request == request && recorded_in == in;
    if (same_kind && in && r.length == length)
        return &trace_.requests[next_++];
    const size_t differs = same_kind && !in ? first_difference(r.out, data, length) : k_no_offset;
    if (same_kind && !in && differs == length && length == r.out.size())
        return &trace_.requests[next_++];

    diverged_ = true;
    const uint8_t *recorded_data = recorded_in ? nullptr : r.out.data();
    const size_t recorded_length = recorded_in ? r.length : r.out.size();
    divergence_ = where + describe(r.request, recorded_in, recorded_data, recorded_length, differs)
                  + ", got " + describe(request, in, data, length, differs);
    if (differs != k_no_offset)
        divergence_ += ", first difference at byte " + std::to_string(differs);
    return nullptr;
}

int TraceReplay::control_out(uint8_t request, uint16_t, uint16_t, const uint8_t *data,
                             size_t length)
{
    if (gone_)
        return ENODEV;
    const RecordedRequest *r = next(request, false, data, length);
    if (!r)
        return EIO;
    ++replayed_;
    gone_ = r->gone_after;
    return static_cast<int>(r->error);
}

int TraceReplay::control_in(uint8_t request, uint16_t, uint16_t, uint8_t *out, size_t length,
                            size_t *supplied)
{
    *supplied = 0;
    if (gone_)
        return ENODEV;
    const RecordedRequest *r = next(request, true, nullptr, length);
    if (!r)
        return EIO;
    ++replayed_;
    gone_ = r->gone_after;
    if (r->error != 0)
        return static_cast<int>(r->error);
    // The trace holds no more than was asked for; the copy stays bounded anyway.
    const size_t n = std::min(r->reply.size(), length);
    if (n)
        std::memcpy(out, r->reply.data(), n);
    *supplied = n;
    return 0;
}

std::string TraceReplay::take_divergence()
{
    return std::exchange(divergence_, std::string());
}

} // namespace devsim
