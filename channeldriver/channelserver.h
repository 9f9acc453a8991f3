// Reading one request per connection and writing its one reply, for every
// program that plays the driver. A slow or silent client is given up at a
// deadline, and a stop that is due (asked for, no update running) cuts any
// wait short, so that a driver never hangs on a client; while an update
// runs, a stop asked for meanwhile is only noted and the request served whole.
#ifndef CHANNELDRIVER_CHANNELSERVER_H
#define CHANNELDRIVER_CHANNELSERVER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "driverside.h"
#include "stoprequest.h"

namespace qeldriver {

class ChannelServer {
public:
    // Carries out one whole request (header and its input, as read).
    typedef std::function<Outcome(const uint8_t *header, const uint8_t *input, size_t input_length)>
        Handler;

    // stop: the program's stop request (null: none). log: one numbered line
    // per connection, or null.
    ChannelServer(StopRequest *stop, FILE *log) : stop_(stop), log_(log) {}

    // One connection: one request, one reply; the caller closes fd.
    void serve(int fd, const Handler &handle);

private:
    bool wait_for(int fd, short events, int64_t deadline) const;
    bool read_exact(int fd, uint8_t *p, size_t n, int64_t deadline) const;
    bool write_all(int fd, const uint8_t *p, size_t n, int64_t deadline) const;
    void note(const std::string &line);

    StopRequest *stop_;
    FILE *log_;
    unsigned long count_ = 0;
};

} // namespace qeldriver

#endif
