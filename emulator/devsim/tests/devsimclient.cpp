#include "devsimclient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "usmsg.h"

namespace {

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void put_le(uint8_t *p, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

bool is_socket(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes round_trip(const std::string &path, const Bytes &request)
{
    const int fd = connect_unix(path);
    Bytes reply;
    if (fd >= 0) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        const int64_t deadline = now_ms() + 10000;
        uint8_t buf[512];
        for (;;) {
            pollfd p = { fd, POLLIN, 0 };
            if (poll(&p, 1, static_cast<int>(std::max<int64_t>(deadline - now_ms(), 0))) <= 0) {
                reply.push_back('?');   // never closed: not a driver's answer
                break;
            }
            const ssize_t r = recv(fd, buf, sizeof buf, 0);
            if (r <= 0)
                break;
            reply.insert(reply.end(), buf, buf + r);
        }
        close(fd);
    }
    return reply;
}

Bytes framed(const Bytes &input, const char *magic, uint32_t code, uint32_t m, int64_t n)
{
    Bytes b(QEL_CHANNEL_REQUEST_HEADER + input.size());
    std::memcpy(b.data(), magic, QEL_CHANNEL_MAGIC_SIZE);
    put_le(&b[QEL_CHANNEL_REQUEST_CODE_AT], code, 4);
    put_le(&b[QEL_CHANNEL_REQUEST_INPUT_AT],
           n < 0 ? static_cast<uint32_t>(input.size()) : static_cast<uint32_t>(n), 4);
    put_le(&b[QEL_CHANNEL_REQUEST_OUTPUT_AT], m, 4);
    std::copy(input.begin(), input.end(), b.begin() + QEL_CHANNEL_REQUEST_HEADER);
    return b;
}

Bytes io(uint32_t direction, uint32_t length, uint8_t request, const Bytes &payload,
         uint16_t function)
{
    Bytes b(QEL_CONTROL_HEADER + payload.size());
    put_le(&b[QEL_CONTROL_DIRECTION_AT], direction, 4);
    put_le(&b[QEL_CONTROL_LENGTH_AT], length, 4);
    put_le(&b[QEL_CONTROL_FUNCTION_AT], function, 2);
    b[QEL_CONTROL_REQUEST_AT] = request;
    std::copy(payload.begin(), payload.end(), b.begin() + QEL_CONTROL_HEADER);
    return b;
}

Bytes least_payload()
{
    return Bytes(QEL_CONTROL_MIN_INPUT - QEL_CONTROL_HEADER);
}

Bytes info_request()
{
    uint8_t buf[QEL_MESSAGE_SIZE];
    UsMsg msg;
    usmsg_init(&msg, buf, sizeof buf);
    usmsg_put(&msg, 49, USMSG_TYPE_NONE, 0, 0);
    usmsg_put(&msg, 0, USMSG_TYPE_END, 0, 0);
    Bytes b(buf, buf + msg.position);
    if (b.size() < least_payload().size())
        b.resize(least_payload().size());
    return b;
}

Bytes message(uint32_t length)
{
    return io(QEL_CONTROL_OUT, length, QEL_REQUEST_MESSAGE, least_payload());
}

Bytes reply_read(uint32_t m)
{
    return framed(io(QEL_CONTROL_IN, 0, QEL_REQUEST_REPLY, least_payload()), QEL_CHANNEL_REQUEST_MAGIC,
                  QEL_CONTROL_CODE, m);
}
