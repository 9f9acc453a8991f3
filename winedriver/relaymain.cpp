// qel-tcprelay: lets the test driver under wine reach an emulated device.
//
//   qel-tcprelay [--port N] CHANNEL
//
// Listens on 127.0.0.1:N (default 0: a free port the system picks), prints
// "ready: 127.0.0.1:PORT" once it accepts connections, and carries each
// connection's request to the channel socket CHANNEL (the path qel-devsim
// prints after "ready:") until SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "channelwire.h"
#include "tcprelay.h"

namespace {

// The channel's own limit for a whole reply.
const int k_timeout_ms = QEL_CHANNEL_TIME_LIMIT_MS;

int usage()
{
    std::fputs("usage: qel-tcprelay [--port N] CHANNEL\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned long port = 0;
    std::string channel;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            char *end = nullptr;
            errno = 0;
            port = std::strtoul(argv[++i], &end, 10);
            if (errno || *end || !argv[i][0] || port > 65535)
                return usage();
        } else if (arg.empty() || arg[0] == '-' || !channel.empty()) {
            return usage();
        } else {
            channel = arg;
        }
    }
    if (channel.empty())
        return usage();
    std::signal(SIGPIPE, SIG_IGN);

    qelrelay::TcpRelay relay(channel, k_timeout_ms);
    std::string error;
    if (!relay.listen(static_cast<uint16_t>(port), &error)) {
        std::fprintf(stderr, "qel-tcprelay: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready: 127.0.0.1:%u\n", unsigned(relay.port()));
    std::fflush(stdout);
    while (relay.serve_one()) {
    }
    std::fprintf(stderr, "qel-tcprelay: accept: %s\n", std::strerror(errno));
    return 1;
}
