// The relay between the test driver under wine and an emulated device: wine 8
// offers its drivers no Unix-domain sockets, so the driver connects over TCP
// to 127.0.0.1 and the relay carries each connection's one request to the
// device's channel socket and the one reply back. It reads nothing it has not
// bounded: a header that announces more than the channel allows is answered
// as a malformed request without reading further, and a reply from the
// device that breaks the channel's rules is not passed on.
#ifndef WINEDRIVER_TCPRELAY_H
#define WINEDRIVER_TCPRELAY_H

#include <cstdint>
#include <string>

namespace qelrelay {

class TcpRelay {
public:
    // channel: the device's channel socket. timeout_ms: how long one side may
    // take over its part of a request or reply before the connection is given up.
    TcpRelay(const std::string &channel, int timeout_ms) : channel_(channel), timeout_ms_(timeout_ms) {}
    ~TcpRelay();
    TcpRelay(const TcpRelay &) = delete;
    TcpRelay &operator=(const TcpRelay &) = delete;

    // Listens on 127.0.0.1:port (0: a free port the system picks).
    bool listen(uint16_t port, std::string *error);
    uint16_t port() const { return port_; }
    int listen_fd() const { return listen_fd_; }

    // Accepts and serves one connection; false when accepting failed.
    bool serve_one();

private:
    void serve(int client);

    std::string channel_;
    int timeout_ms_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
};

} // namespace qelrelay

#endif
