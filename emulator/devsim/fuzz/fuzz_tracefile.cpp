// Any bytes as a trace file, and as the events after a valid header: the
// parser must refuse or accept without crashing, and whatever it accepts
// must replay as recorded when the same requests come back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tracefile.h"
#include "tracereplay.h"

namespace {

void replay_back(const devsim::Trace &trace)
{
    devsim::TraceReplay replay(trace);
    for (const devsim::RecordedRequest &r : trace.requests) {
        std::vector<uint8_t> buffer(r.length);
        size_t supplied = 0;
        const int error = r.request == 30
                              ? replay.control_in(r.request, 0, 0, buffer.data(), r.length, &supplied)
                              : replay.control_out(r.request, 0, 0, r.out.data(), r.out.size());
        if (!replay.take_divergence().empty())
            std::abort();
        if (replay.gone()) {
            if (!r.gone_after)
                std::abort();
            return;
        }
        if (static_cast<uint32_t>(error) != r.error || supplied > r.length
            || (error == 0 && r.request == 30
                && std::vector<uint8_t>(buffer.begin(), buffer.begin() + supplied) != r.reply))
            std::abort();
    }
    if (replay.replayed() != trace.requests.size())
        std::abort();
    const uint8_t extra[] = { 0x31, 0x01 };
    if (replay.control_out(29, 0, 0, extra, sizeof extra) == 0 || replay.take_divergence().empty()
        || replay.control_out(29, 0, 0, extra, sizeof extra) == 0 || !replay.take_divergence().empty())
        std::abort();
}

void try_text(const std::string &text, const std::string &device)
{
    devsim::Trace trace;
    std::string error;
    if (devsim::parse_trace(text, device, &trace, &error)) {
        if (trace.device.empty() || (!device.empty() && trace.device != device))
            std::abort();
        replay_back(trace);
    } else if (error.empty() || error.find('\n') != std::string::npos) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    try_text(bytes, "");
    const std::string header = "{\"format\":\"qel-trace\",\"version\":1,\"platform\":\""
                               + std::string(size % 2 ? "linux" : "windows") + "\"}\n";
    try_text(header + bytes, "");
    try_text(header + bytes, "dev");
    return 0;
}
