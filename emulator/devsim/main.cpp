// qel-devsim: serves an emulated Qel device over the device channel, as the
// device's driver would, so that the updater (or anything else that speaks
// the channel) can be run against it without hardware.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "devsimoptions.h"
#include "channelserver.h"
#include "stoprequest.h"
#include "driverside.h"
#include "qeldevice.h"
#include "registryentry.h"
#include "tracereplay.h"
#include "updatelock.h"
#include "usbdevs_os.h"

namespace {

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string version_text(uint16_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "%u.%02u", v / 100u, v % 100u);
    return b;
}

std::string identity(const qel::Device &d)
{
    return d.product() + " " + version_text(d.version()) + ", build " + std::to_string(d.build());
}

} // namespace

int main(int argc, char **argv)
{
    devsim::Options options;
    std::string error;
    if (!devsim::parse_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "qel-devsim: %s\nTry --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(devsim::usage().c_str(), stdout);
        return 0;
    }
    // Replaying, the trace is the device: the emulated one is never asked.
    std::unique_ptr<devsim::TraceReplay> replay;
    if (!options.replay_path.empty()) {
        devsim::Trace trace;
        if (!devsim::read_trace(options.replay_path, options.replay_device, &trace, &error)) {
            std::fprintf(stderr, "qel-devsim: %s\n", error.c_str());
            return 1;
        }
        replay = std::make_unique<devsim::TraceReplay>(std::move(trace));
    } else if (!devsim::settle_device(&options, &error)) {
        std::fprintf(stderr, "qel-devsim: %s\n", error.c_str());
        return 1;
    }
    if (options.instance.empty())
        options.instance = "devsim-" + std::to_string(getpid());

    FILE *log = nullptr;
    if (!options.log_path.empty()) {
        log = std::fopen(options.log_path.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "qel-devsim: cannot write %s: %s\n", options.log_path.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    qeldriver::StopRequest stop;
    if (!stop.install(&error)) {
        std::fprintf(stderr, "qel-devsim: %s\n", error.c_str());
        return 1;
    }

    qel::Device device(options.device);
    qeldriver::ControlTarget &target = replay ? static_cast<qeldriver::ControlTarget &>(*replay)
                                              : device;
    const auto gone = [&] { return replay ? replay->gone() : device.gone(); };
    qeldriver::RegistryEntry entry;
    if (!entry.create(usbdevs_posix_registry_root(), options.instance, options.service,
                      options.interface, &error)) {
        std::fprintf(stderr, "qel-devsim: %s\n", error.c_str());
        return 1;
    }

    std::printf("qel-devsim: device %s, driver service \"%s\"\n", options.instance.c_str(),
                options.service.c_str());
    if (replay) {
        std::printf("  replaying: %s, device %s, %zu requests\n", options.replay_path.c_str(),
                    replay->device().c_str(), replay->recorded());
    } else {
        std::printf("  firmware: %s; installed image: %s\n", identity(device).c_str(),
                    options.device.installed.empty()
                        ? "none"
                        : (std::to_string(options.device.installed.size()) + " bytes from "
                           + options.installed_path).c_str());
    }
    std::printf("  registry entry: %s\n  interface: %s\n", entry.dir().c_str(),
                entry.interface_path().c_str());
    if (!replay) {
        std::printf("  room %u bytes per status request, busy %u us after a burst, latency %u us\n",
                    options.device.burst_room, options.device.busy_us, device.latency_us());
        std::string faults;
        for (const std::string &f : options.faults)
            faults += " " + f;
        std::printf("  faults:%s\n", faults.empty() ? " none" : faults.c_str());
    }
    if (log)
        std::printf("  request log: %s\n", options.log_path.c_str());
    std::printf("ready: %s\n", entry.channel_path().c_str());
    std::fflush(stdout);

    // Asked to stop, the device waits for an update that runs through it.
    stop.set_busy_test([&entry] { return UpdateLock::held_elsewhere(entry.dir()); });
    qeldriver::ChannelServer server(&stop, log);
    const qeldriver::ChannelServer::Handler handle = [&](const uint8_t *header,
                                                         const uint8_t *input, size_t n) {
        qeldriver::Outcome outcome;
        if (gone()) {
            outcome.error = ENODEV;
            outcome.what = "request after the device went away";
        } else {
            outcome = qeldriver::carry_out(target, header, input, n);
        }
        if (const uint32_t us = device.latency_us())
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        return outcome;
    };
    std::string reported;   // the identity last announced after an update
    int64_t wait_until = -1;   // while a stop waits for an update
    for (;;) {
        if (stop.requested()) {
            if (!stop.busy())
                break;
            if (wait_until < 0) {
                wait_until = now_ms() + qeldriver::kUpdateWaitLimitMs;
                std::printf("qel-devsim: asked to stop; waiting for the update of %s to finish "
                            "(at most 10 minutes)\n", entry.dir().c_str());
                std::fflush(stdout);
            } else if (now_ms() >= wait_until) {
                std::printf("qel-devsim: the update of %s is still running after 10 minutes; "
                            "stopping anyway\n", entry.dir().c_str());
                break;
            }
        }
        // poll skips a negative descriptor: once the device has gone, only
        // the stop is waited for. The lock is looked at now and then only
        // while a stop waits.
        std::vector<pollfd> p = { { entry.listen_fd(), POLLIN, 0 } };
        stop.add_pollfds(&p);
        if (poll(p.data(), p.size(), stop.requested() ? qeldriver::kUpdatePollMs : -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        stop.take(&p[1]);
        if (!(p[0].revents & POLLIN))
            continue;
        const int fd = accept4(entry.listen_fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)   // non-blocking: a client gone before it was accepted
            continue;
        server.serve(fd, handle);
        close(fd);

        // Said once the reply is out, so that whoever reads the line has it.
        const std::string divergence = replay ? replay->take_divergence() : std::string();
        if (!divergence.empty()) {
            std::printf("%s\n", divergence.c_str());
            std::fflush(stdout);
        }
        if (!replay && device.updated() && identity(device) != reported) {
            reported = identity(device);
            std::printf("installed: %s\n", reported.c_str());
            std::fflush(stdout);
        }
        // Whoever reads the line may look for the entry at once: it must
        // already be gone.
        if (gone() && !entry.dir().empty()) {
            const std::string dir = entry.dir();
            entry.remove();
            std::printf("gone: the device went away; %s removed\n", dir.c_str());
            std::fflush(stdout);
        }
    }

    entry.remove();
    if (log)
        std::fclose(log);
    if (replay)
        std::printf("replayed: %zu of %zu requests\n", replay->replayed(), replay->recorded());
    std::printf("stopped\n");
    return 0;
}
