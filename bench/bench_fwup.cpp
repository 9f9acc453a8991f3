// The host's cost of a firmware transfer: the embedded image sent to the
// in-process emulated device with no latency and no busy time, against the
// bare channel calls that carry the same control transfers.
//
//   bench_fwup [image] [runs]
//
// The transfer is also timed while the channel's recorder writes its trace,
// and the trace's size printed: what recording a whole update costs.
//
// The transfer's console trace is discarded while it runs; the figures are
// printed afterwards.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>


#include "mkimage.h"
#include "silence.h"
#include "qeldevice.h"
#include "testchannel.h"
#include "usctl.h"
#include "usrecorder.h"
#include "ussleep.h"

namespace {

using Clock = std::chrono::steady_clock;

unsigned g_sleeps = 0;
void no_sleep(unsigned) { ++g_sleeps; }

std::vector<uint8_t> load_image(const std::string &path, std::string *source)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!image.empty()) {
        *source = path;
        return image;
    }
    // Without the embedded image, one of the same size.
    ImageRecipe recipe;
    std::string error;
    if (!mkimage_synthetic_body(268320 - 36, 0x0140C7B8, &recipe.body) ||
        !mkimage_build(recipe, &image, &error)) {
        std::fprintf(stderr, "cannot make an image: %s\n", error.c_str());
        std::exit(1);
    }
    *source = "synthetic image";
    return image;
}

qel::DeviceConfig quiet_device(bool keep_log)
{
    qel::DeviceConfig cfg;
    cfg.keep_log = keep_log;
    return cfg;
}

// The recorded transfer's trace: beside the other temporary files, kept
// after the run so that it can be looked at.
std::string trace_file_path()
{
    const char *dir = std::getenv("TMPDIR");
#ifdef _WIN32
    if (!dir)
        dir = std::getenv("TEMP");
#endif
    return std::string(dir && *dir ? dir : "/tmp") + "/bench_fwup-trace.jsonl";
}

long long file_size(const std::string &path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long long>(in.tellg()) : -1;
}

long long line_count(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
}

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

} // namespace

int main(int argc, char **argv)
{
    const std::string path = argc > 1 ? argv[1] : QEL_UPDATE_BIN;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    std::string source;
    const std::vector<uint8_t> image = load_image(path, &source);
    const uint32_t size = uint32_t(image.size());
    us_set_sleep(&no_sleep);

    // One transfer with the device's log on, to learn the control transfers
    // that a transfer takes.
    std::vector<qel::LogEntry> script;
    {
        qel::Device device(quiet_device(true));
        ChannelAdapter<qel::Device> adapter(device);
        testchannel::Attached attached(adapter);
        usctl_device rec{};
        usctl_handle handle = nullptr;
        usctl_init(&rec);
        if (usctl_open(&rec, &handle) != 0)
            return 1;
        Silence silence;
        if (usctl_fwup(&handle, image.data(), size, nullptr) != 0)
            return 1;
        script = device.log();
    }
    size_t messages = 0;
    for (const qel::LogEntry &e : script)
        messages += e.out;
    const size_t reads = script.size() - messages;

    // One whole transfer, timed; with a trace path, recorded into it, the
    // recorder's closing write counted in.
    const std::string trace_path = trace_file_path();
    const auto timed_transfer = [&](bool recording, double *best) {
        qel::Device device(quiet_device(false));
        ChannelAdapter<qel::Device> adapter(device);
        testchannel::Attached attached(adapter);
        usctl_device rec{};
        usctl_handle handle = nullptr;
        usctl_init(&rec);
        usctl_open(&rec, &handle);
        std::atomic<uint32_t> progress{0};
        Silence silence;
        const Clock::time_point t0 = Clock::now();
        us_trace_file *trace = nullptr;
        if (recording) {
            std::string error;
            trace = us_trace_start(trace_path.c_str(), "bench_fwup", "0", &error);
            if (!trace) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return false;
            }
        }
        const int status = usctl_fwup(&handle, image.data(), size, &progress);
        if (trace && !us_trace_stop(trace))
            return false;
        const Clock::time_point t1 = Clock::now();
        if (status != 0 || progress.load() != size)
            return false;
        *best = std::min(*best, micros(t1 - t0));
        return true;
    };

    double best_fwup = 1e300, best_bare = 1e300, best_recorded = 1e300;
    for (int run = 0; run < runs; ++run) {
        if (!timed_transfer(false, &best_fwup))
            return 1;
        {
            // The same transfers, straight through the channel.
            qel::Device device(quiet_device(false));
            ChannelAdapter<qel::Device> adapter(device);
            testchannel::Attached attached(adapter);
            usbdevs_context ctx{};
            usbdevs_context *found = nullptr;
            usbdevs_open_index(&ctx, &found, 0);
            uint8_t reply[64];
            const Clock::time_point t0 = Clock::now();
            for (const qel::LogEntry &e : script) {
                const int status = e.out
                    ? usbdevs_write(&ctx, e.request, 0, 0, uint16_t(e.data.size()), e.data.data())
                    : usbdevs_read(&ctx, e.request, 0, 0, sizeof reply, reply);
                if (status != 0)
                    return 1;
            }
            const Clock::time_point t1 = Clock::now();
            if (device.installed() != image)
                return 1;
            best_bare = std::min(best_bare, micros(t1 - t0));
        }
    }

    // Apart from the others: a recorded run just before leaves the caches and
    // the heap in a state that slows the next unrecorded one by a quarter.
    for (int run = 0; run < runs; ++run)
        if (!timed_transfer(true, &best_recorded))
            return 1;

    std::printf("image: %s, %u bytes; best of %d runs\n", source.c_str(), unsigned(size), runs);
    std::printf("control messages per transfer: %zu written, %zu replies read\n", messages, reads);
    std::printf("transfer (usctl_fwup):  %9.1f us total, %6.3f us per control message\n",
                best_fwup, best_fwup / double(messages));
    std::printf("bare channel calls:     %9.1f us total, %6.3f us per control message\n",
                best_bare, best_bare / double(messages));
    std::printf("ratio transfer / bare:  %9.2f\n", best_fwup / best_bare);
    std::printf("transfer, recorded:     %9.1f us total, %6.3f us per control message\n",
                best_recorded, best_recorded / double(messages));
    std::printf("trace of the transfer:  %9lld bytes, %lld lines (%s)\n",
                static_cast<long long>(file_size(trace_path)),
                static_cast<long long>(line_count(trace_path)), trace_path.c_str());
    std::printf("waits while sending:    %u\n", g_sleeps);
    return 0;
}
