// The driver side of the device channel, played by a test: a device registry
// under a private XDG_RUNTIME_DIR and a socket server that records each
// request and answers it as the test scripts.
#ifndef USTEST_TESTS_TESTDRIVER_H
#define USTEST_TESTS_TESTDRIVER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// A temporary directory made XDG_RUNTIME_DIR for the object's lifetime; its
// qel-devices directory is the registry root.
class TestRegistry {
public:
    TestRegistry();
    ~TestRegistry();
    TestRegistry(const TestRegistry &) = delete;
    TestRegistry &operator=(const TestRegistry &) = delete;

    const std::string &base() const { return base_; }   // the temporary directory
    std::string root() const { return base_ + "/qel-devices"; }

    // Makes <root>/<instance> with a `service` file holding service (none when
    // null) and a regular file render/<name> for each interface. Returns the
    // device directory.
    std::string add_device(const std::string &instance, const char *service,
                           const std::vector<std::string> &interfaces);

private:
    std::string base_;
    std::string saved_runtime_;
    bool had_runtime_;
};

// One reply of the channel: its header (error, count), then the bytes.
Bytes channel_reply(uint32_t error, uint32_t count, const Bytes &bytes = Bytes());

uint32_t get_le32(const uint8_t *p);
uint16_t get_le16(const uint8_t *p);

class TestDriver {
public:
    // Given the whole request (channel header and input), returns the
    // bytes to send back before closing; nullopt stays silent until the
    // client gives up.
    typedef std::function<std::optional<Bytes>(const Bytes &request)> Handler;

    struct Connection {
        Bytes request;
        bool closed_by_client = false;   // the client closed its end after the exchange
    };

    TestDriver(const std::string &socket_path, Handler handler);
    ~TestDriver();
    TestDriver(const TestDriver &) = delete;
    TestDriver &operator=(const TestDriver &) = delete;

    // Waits (real time, bounded) until count connections have ended; returns
    // all that ended so far.
    std::vector<Connection> wait_for(size_t count);
    // True when no client has connected: none was taken and none waits to
    // be. A connection is recorded only once it has ended, so the record
    // alone would miss one still in progress.
    bool untouched();

private:
    void run();
    void serve(int fd);

    std::string path_;
    Handler handler_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable done_cv_;
    std::vector<Connection> done_;
    size_t accepted_ = 0;
    std::thread thread_;
};

// Binds a Unix stream socket at path and listens; -1 on failure.
int listen_unix(const std::string &path, int backlog = 8);

// Connects a Unix stream socket to path; -1 on failure.
int connect_unix(const std::string &path);

#endif
