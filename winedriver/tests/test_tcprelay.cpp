// The relay between the wine driver and an emulated device: what passes
// through it whole, and what it answers or drops itself.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "channelwire.h"
#include "tcprelay.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void put_le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint32_t get_le32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

// A request that announces n input and m output bytes and sends sent_input.
Bytes request(uint32_t n, uint32_t m, size_t sent_input, const char *magic = QEL_CHANNEL_REQUEST_MAGIC)
{
    Bytes b(QEL_CHANNEL_REQUEST_HEADER);
    std::memcpy(b.data(), magic, QEL_CHANNEL_MAGIC_SIZE);
    put_le32(&b[QEL_CHANNEL_REQUEST_CODE_AT], QEL_CONTROL_CODE);
    put_le32(&b[QEL_CHANNEL_REQUEST_INPUT_AT], n);
    put_le32(&b[QEL_CHANNEL_REQUEST_OUTPUT_AT], m);
    for (size_t i = 0; i < sent_input; ++i)
        b.push_back(uint8_t(i * 7));
    return b;
}

// A reply that announces count bytes and sends sent_bytes.
Bytes reply(uint32_t error, uint32_t count, size_t sent_bytes, const char *magic = QEL_CHANNEL_REPLY_MAGIC)
{
    Bytes b(QEL_CHANNEL_REPLY_HEADER);
    std::memcpy(b.data(), magic, QEL_CHANNEL_MAGIC_SIZE);
    put_le32(&b[QEL_CHANNEL_REPLY_ERROR_AT], error);
    put_le32(&b[QEL_CHANNEL_REPLY_COUNT_AT], count);
    for (size_t i = 0; i < sent_bytes; ++i)
        b.push_back(uint8_t(0xA0 + i));
    return b;
}

// Reads until the peer closes, at most 10 s (a safety bound, never waited out
// when the relay behaves).
Bytes read_to_end(int fd)
{
    Bytes all;
    uint8_t buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        pollfd p = { fd, POLLIN, 0 };
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            break;
        const ssize_t k = recv(fd, buf, sizeof buf, 0);
        if (k <= 0)
            break;
        all.insert(all.end(), buf, buf + k);
    }
    return all;
}

// An emulated device's channel socket that answers one connection with a
// fixed reply once it has read the request's header and announced input.
class FakeDevice {
public:
    explicit FakeDevice(const Bytes &answer) : answer_(answer)
    {
        char tmpl[] = "/tmp/qel-relay-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/qel";
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, path_.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(fd_, 1), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeDevice()
    {
        finish();
        close(fd_);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    const std::string &path() const { return path_; }
    // What the device was sent, once the relay has served: the device stops
    // waiting for a connection then.
    const Bytes &received()
    {
        finish();
        return received_;
    }
    bool contacted()
    {
        finish();
        return contacted_;
    }

private:
    void finish()
    {
        if (!thread_.joinable())
            return;
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
    }

    void serve()
    {
        const int c = accept(fd_, nullptr, nullptr);
        if (c < 0)
            return;
        contacted_ = true;
        uint8_t head[QEL_CHANNEL_REQUEST_HEADER];
        if (recv(c, head, sizeof head, MSG_WAITALL) == ssize_t(sizeof head)) {
            received_.assign(head, head + sizeof head);
            const uint32_t n = get_le32(head + QEL_CHANNEL_REQUEST_INPUT_AT);
            Bytes input(n);
            if (n && recv(c, input.data(), n, MSG_WAITALL) == ssize_t(n))
                received_.insert(received_.end(), input.begin(), input.end());
            send(c, answer_.data(), answer_.size(), MSG_NOSIGNAL);
        }
        close(c);
    }

    Bytes answer_;
    std::string dir_, path_;
    int fd_ = -1;
    std::thread thread_;
    Bytes received_;
    bool contacted_ = false;
};

// One connection through the relay: what the client got back.
Bytes through_relay(const std::string &channel, const Bytes &sent)
{
    qelrelay::TcpRelay relay(channel, 300);
    std::string error;
    EXPECT_TRUE(relay.listen(0, &error)) << error;
    std::thread server([&relay] { relay.serve_one(); });
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(relay.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(c, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    send(c, sent.data(), sent.size(), MSG_NOSIGNAL);
    const Bytes got = read_to_end(c);
    server.join();
    close(c);
    return got;
}

TEST(TcpRelay, ListensOnLoopbackOnAPortTheSystemPicks)
{
    qelrelay::TcpRelay relay("/nonexistent", 300);
    std::string error;
    ASSERT_TRUE(relay.listen(0, &error)) << error;
    sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(relay.listen_fd(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
    EXPECT_EQ(ntohl(addr.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_NE(relay.port(), 0);
    EXPECT_EQ(ntohs(addr.sin_port), relay.port());
}

TEST(TcpRelay, CarriesARequestAndItsReplyWhole)
{
    // An IN request of 64 bytes and the device's whole answer; an OUT
    // request of the channel's largest input and its empty answer.
    const struct {
        Bytes sent, answer;
    } cases[] = {
        { request(20, 64, 20), reply(0, 64, 64) },
        { request(QEL_CHANNEL_MAX_INPUT, 0, QEL_CHANNEL_MAX_INPUT), reply(0, 0, 0) },
        { request(20, 64, 20), reply(EIO, 0, 0) },
    };
    for (const auto &c : cases) {
        FakeDevice device(c.answer);
        EXPECT_EQ(through_relay(device.path(), c.sent), c.answer);
        EXPECT_EQ(device.received(), c.sent);
    }
}

TEST(TcpRelay, AnswersWhatNeverReachesTheDevice)
{
    // A header that announces more than the channel allows, or is not a
    // request, is answered as malformed (EINVAL) without reading on; a
    // device whose channel does not open has gone (ENODEV).
    const struct {
        Bytes sent;
        bool device_there;
        uint32_t error;
    } cases[] = {
        { request(QEL_CHANNEL_MAX_INPUT + 1, 64, 100), true, EINVAL },
        { request(20, QEL_CHANNEL_MAX_OUTPUT + 1, 20), true, EINVAL },
        { request(20, 64, 20, "XELC"), true, EINVAL },
        { request(20, 64, 20), false, ENODEV },
    };
    for (const auto &c : cases) {
        FakeDevice device(reply(0, 0, 0));
        const Bytes got = through_relay(c.device_there ? device.path() : "/nonexistent/qel", c.sent);
        EXPECT_EQ(got, reply(c.error, 0, 0));
        EXPECT_FALSE(device.contacted());
    }
}

TEST(TcpRelay, PassesNoBrokenReplyOn)
{
    // A wrong magic, a count beyond the channel's limit, a reply cut short:
    // the client sees its connection end with nothing, as for a device that
    // failed mid-reply.
    const Bytes answers[] = {
        reply(0, 4, 4, "QELX"),
        reply(0, QEL_CHANNEL_MAX_OUTPUT + 1, 100),
        reply(0, 64, 10),
        Bytes(QEL_CHANNEL_REPLY_MAGIC, QEL_CHANNEL_REPLY_MAGIC + 2),
    };
    for (const Bytes &answer : answers) {
        FakeDevice device(answer);
        EXPECT_TRUE(through_relay(device.path(), request(20, 64, 20)).empty());
    }
}

TEST(TcpRelay, GivesUpOnAClientThatStopsMidRequest)
{
    // Half a header, then half the announced input: the relay ends the
    // connection at its deadline and serves the next one.
    for (const Bytes &sent : { request(20, 64, 0), request(20, 64, 5) }) {
        FakeDevice device(reply(0, 0, 0));
        const size_t header = QEL_CHANNEL_REQUEST_HEADER;
        const Bytes part(sent.begin(), sent.end() - (sent.size() > header ? 0 : header / 2));
        EXPECT_TRUE(through_relay(device.path(), part).empty());
        EXPECT_FALSE(device.contacted());
    }
}

} // namespace
