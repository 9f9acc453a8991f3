// qel-devsim as its tests reach it: the program started as a child, and the
// raw requests of the device channel, built byte by byte so that a test can
// also send what no client would.
#ifndef EMULATOR_DEVSIM_TESTS_DEVSIMCLIENT_H
#define EMULATOR_DEVSIM_TESTS_DEVSIMCLIENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "channelwire.h"
#include "childprocess.h"
#include "testdriver.h"

// The program, started with its standard output on a pipe.
class Devsim : public ChildProcess {
public:
    explicit Devsim(const std::vector<std::string> &args, bool with_stderr = false)
        : ChildProcess(QEL_DEVSIM_PATH, args, {}, with_stderr)
    {
    }
};

bool is_socket(const std::string &path);
std::string slurp(const std::string &path);

// One connection: sends bytes, then reads until the driver closes.
Bytes round_trip(const std::string &path, const Bytes &request);

// A channel header; the input follows as given.
Bytes framed(const Bytes &input, const char *magic = QEL_CHANNEL_REQUEST_MAGIC,
             uint32_t code = QEL_CONTROL_CODE, uint32_t m = 0, int64_t n = -1);

// An I/O control request: its header and payload.
Bytes io(uint32_t direction, uint32_t length, uint8_t request, const Bytes &payload,
         uint16_t function = QEL_CONTROL_FUNCTION_VENDOR_DEVICE);

// The fewest bytes after the header that the driver takes, all zero.
Bytes least_payload();

// The device's information request, padded as the client pads a short message.
Bytes info_request();

// A message write that says it carries `length` bytes.
Bytes message(uint32_t length);

// A whole request that reads up to m bytes of the device's reply.
Bytes reply_read(uint32_t m);

#endif
