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
#include "driverside.h"
#include "qeldevice.h"
#include "registryentry.h"
#include "usbdevs_os.h"

namespace {

// How long a client may take to send its request.
const int k_request_limit_ms = 5000;

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

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until fd is ready for events; false at the deadline or on a stop signal.
bool wait_for(int fd, short events, int64_t deadline)
{
    for (;;) {
        const int64_t left = deadline - now_ms();
        if (left <= 0)
            return false;
        pollfd p[2] = { { fd, events, 0 }, { g_stop_pipe[0], POLLIN, 0 } };
        const int r = poll(p, 2, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || p[1].revents)
            return false;
        return true;
    }
}

bool read_exact(int fd, uint8_t *p, size_t n, int64_t deadline)
{
    while (n > 0) {
        if (!wait_for(fd, POLLIN, deadline))
            return false;
        const ssize_t r = read(fd, p, n);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool write_all(int fd, const uint8_t *p, size_t n, int64_t deadline)
{
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (!wait_for(fd, POLLOUT, deadline))
                return false;
            continue;
        }
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

class Server {
public:
    Server(qel::Device &device, FILE *log) : device_(device), log_(log) {}

    // One connection: one request, one reply, then the driver's side closes.
    void serve(int fd)
    {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        const int64_t deadline = now_ms() + k_request_limit_ms;
        uint8_t header[qeldriver::kChannelHeader];
        if (!read_exact(fd, header, sizeof header, deadline))
            return note("connection closed before a whole request");
        const long expected = qeldriver::input_expected(header);
        std::vector<uint8_t> input(expected > 0 ? static_cast<size_t>(expected) : 0);
        if (expected > 0 && !read_exact(fd, input.data(), input.size(), deadline))
            return note("connection closed before a whole request");

        const qeldriver::Outcome outcome = device_.gone()
                                            ? gone_outcome()
                                            : qeldriver::carry_out(device_, header, input.data(), input.size());
        if (const uint32_t us = device_.latency_us())
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        // Logged before the reply goes out: a client holding its reply may
        // read the log and must find the request there.
        note(outcome.what + " -> error " + std::to_string(outcome.error) + ", "
             + std::to_string(outcome.bytes.size()) + " bytes");
        const std::vector<uint8_t> reply = qeldriver::encode_reply(outcome);
        write_all(fd, reply.data(), reply.size(), now_ms() + k_request_limit_ms);
    }

private:
    qeldriver::Outcome gone_outcome() const
    {
        qeldriver::Outcome o;
        o.error = ENODEV;
        o.what = "request after the device went away";
        return o;
    }

    void note(const std::string &line)
    {
        ++count_;
        if (log_) {
            std::fprintf(log_, "%lu %s\n", count_, line.c_str());
            std::fflush(log_);
        }
    }

    qel::Device &device_;
    FILE *log_;
    unsigned long count_ = 0;
};

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

    Server server(device, log);
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
        server.serve(fd);
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
