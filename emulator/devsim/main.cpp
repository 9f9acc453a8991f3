// qel-devsim: serves an emulated Qel device over the device channel, as the
// device's driver would, so that the updater (or anything else that speaks
// the channel) can be run against it without hardware.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "devsimoptions.h"
#include "channelserver.h"
#include "driverside.h"
#include "qeldevice.h"
#include "registryentry.h"
#include "usbdevs_os.h"

namespace {

int g_stop_pipe[2] = { -1, -1 };

void on_signal(int)
{
    const char byte = 1;
    const ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
    (void)ignored;
}

bool install_signals(std::string *error)
{
    if (pipe(g_stop_pipe) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    for (int fd : g_stop_pipe)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(g_stop_pipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
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
    if (!devsim::settle_device(&options, &error)) {
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
    if (!install_signals(&error)) {
        std::fprintf(stderr, "qel-devsim: %s\n", error.c_str());
        return 1;
    }

    qel::Device device(options.device);
    qeldriver::RegistryEntry entry;
    if (!entry.create(usbdevs_posix_registry_root(), options.instance, options.service,
                      options.interface, &error)) {
        std::fprintf(stderr, "qel-devsim: %s\n", error.c_str());
        return 1;
    }

    std::printf("qel-devsim: device %s, driver service \"%s\"\n", options.instance.c_str(),
                options.service.c_str());
    std::printf("  firmware: %s; installed image: %s\n", identity(device).c_str(),
                options.device.installed.empty()
                    ? "none"
                    : (std::to_string(options.device.installed.size()) + " bytes from "
                       + options.installed_path).c_str());
    std::printf("  registry entry: %s\n  interface: %s\n", entry.dir().c_str(),
                entry.interface_path().c_str());
    std::printf("  room %u bytes per status request, busy %u us after a burst, latency %u us\n",
                options.device.burst_room, options.device.busy_us, device.latency_us());
    std::string faults;
    for (const std::string &f : options.faults)
        faults += " " + f;
    std::printf("  faults:%s\n", faults.empty() ? " none" : faults.c_str());
    if (log)
        std::printf("  request log: %s\n", options.log_path.c_str());
    std::printf("ready: %s\n", entry.channel_path().c_str());
    std::fflush(stdout);

    qeldriver::ChannelServer server(g_stop_pipe[0], log);
    const qeldriver::ChannelServer::Handler handle = [&device](const uint8_t *header,
                                                               const uint8_t *input, size_t n) {
        qeldriver::Outcome outcome;
        if (device.gone()) {
            outcome.error = ENODEV;
            outcome.what = "request after the device went away";
        } else {
            outcome = qeldriver::carry_out(device, header, input, n);
        }
        if (const uint32_t us = device.latency_us())
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        return outcome;
    };
    std::string reported;   // the identity last announced after an update
    for (;;) {
        // poll skips a negative descriptor: once the device has gone, only
        // the stop signal is waited for.
        pollfd p[2] = { { g_stop_pipe[0], POLLIN, 0 }, { entry.listen_fd(), POLLIN, 0 } };
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents)
            break;
        if (!(p[1].revents & POLLIN))
            continue;
        const int fd = accept4(entry.listen_fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        server.serve(fd, handle);
        close(fd);

        if (device.updated() && identity(device) != reported) {
            reported = identity(device);
            std::printf("installed: %s\n", reported.c_str());
            std::fflush(stdout);
        }
        // Whoever reads the line may look for the entry at once: it must
        // already be gone.
        if (device.gone() && !entry.dir().empty()) {
            const std::string dir = entry.dir();
            entry.remove();
            std::printf("gone: the device went away; %s removed\n", dir.c_str());
            std::fflush(stdout);
        }
    }

    entry.remove();
    if (log)
        std::fclose(log);
    std::printf("stopped\n");
    return 0;
}
