#include "testdriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "channelwire.h"

namespace fs = std::filesystem;

namespace {

const int k_patience_ms = 2 * QEL_CHANNEL_TIME_LIMIT_MS;   // outlasts the client's

int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool readable(int fd, int64_t deadline)
{
    const int64_t left = deadline - now_ms();
    if (left <= 0)
        return false;
    pollfd p = { fd, POLLIN, 0 };
    return poll(&p, 1, static_cast<int>(left)) > 0;
}

bool read_exact(int fd, uint8_t *p, size_t n, int64_t deadline)
{
    while (n > 0) {
        if (!readable(fd, deadline))
            return false;
        const ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace

TestRegistry::TestRegistry()
{
    char tmpl[] = "/tmp/qel-channel-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    base_ = tmpl;
    const char *old = std::getenv("XDG_RUNTIME_DIR");
    had_runtime_ = old != nullptr;
    if (old)
        saved_runtime_ = old;
    setenv("XDG_RUNTIME_DIR", base_.c_str(), 1);
}

TestRegistry::~TestRegistry()
{
    if (had_runtime_)
        setenv("XDG_RUNTIME_DIR", saved_runtime_.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    fs::remove_all(base_, ec);
}

std::string TestRegistry::add_device(const std::string &instance, const char *service,
                                     const std::vector<std::string> &interfaces)
{
    const std::string dir = root() + "/" + instance;
    fs::create_directories(dir + "/render");
    if (service)
        std::ofstream(dir + "/service", std::ios::binary) << service;
    for (const std::string &name : interfaces)
        std::ofstream(dir + "/render/" + name, std::ios::binary) << "";
    return dir;
}

Bytes channel_reply(uint32_t error, uint32_t count, const Bytes &bytes)
{
    Bytes out(QEL_CHANNEL_REPLY_HEADER + bytes.size());
    std::memcpy(out.data(), QEL_CHANNEL_REPLY_MAGIC, QEL_CHANNEL_MAGIC_SIZE);
    for (int i = 0; i < 4; ++i) {
        out[QEL_CHANNEL_REPLY_ERROR_AT + i] = static_cast<uint8_t>(error >> (8 * i));
        out[QEL_CHANNEL_REPLY_COUNT_AT + i] = static_cast<uint8_t>(count >> (8 * i));
    }
    std::copy(bytes.begin(), bytes.end(), out.begin() + QEL_CHANNEL_REPLY_HEADER);
    return out;
}

uint32_t get_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t get_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

namespace {

bool unix_address(const std::string &path, sockaddr_un *addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path)
        return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size());
    return true;
}

} // namespace

int listen_unix(const std::string &path, int backlog)
{
    sockaddr_un addr;
    if (!unix_address(path, &addr))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(fd, backlog) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_unix(const std::string &path)
{
    sockaddr_un addr;
    if (!unix_address(path, &addr))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TestDriver::TestDriver(const std::string &socket_path, Handler handler)
    : path_(socket_path), handler_(std::move(handler))
{
    listen_fd_ = listen_unix(path_);
    if (listen_fd_ < 0)
        throw std::runtime_error("cannot listen on " + path_);
    // Taking a connection is done under the lock that untouched() holds; a
    // client that gave up in between must not leave the thread blocked there.
    fcntl(listen_fd_, F_SETFL, fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread(&TestDriver::run, this);
}

TestDriver::~TestDriver()
{
    stop_ = true;
    thread_.join();
    close(listen_fd_);
    unlink(path_.c_str());
}

std::vector<TestDriver::Connection> TestDriver::wait_for(size_t count)
{
    std::unique_lock<std::mutex> lock(mutex_);
    done_cv_.wait_for(lock, std::chrono::milliseconds(k_patience_ms),
                      [&] { return done_.size() >= count; });
    return done_;
}

bool TestDriver::untouched()
{
    std::lock_guard<std::mutex> lock(mutex_);
    pollfd p = { listen_fd_, POLLIN, 0 };
    return accepted_ == 0 && poll(&p, 1, 0) == 0;
}

void TestDriver::run()
{
    while (!stop_) {
        pollfd p = { listen_fd_, POLLIN, 0 };
        if (poll(&p, 1, 20) <= 0)
            continue;
        int fd;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = accept(listen_fd_, nullptr, nullptr);
            if (fd >= 0)
                ++accepted_;
        }
        if (fd >= 0)
            serve(fd);
    }
}

void TestDriver::serve(int fd)
{
    Connection c;
    const int64_t deadline = now_ms() + k_patience_ms;
    const size_t header = QEL_CHANNEL_REQUEST_HEADER;
    c.request.resize(header);
    if (read_exact(fd, c.request.data(), header, deadline)) {
        const uint32_t n = get_le32(&c.request[QEL_CHANNEL_REQUEST_INPUT_AT]);
        if (n <= 70000) {
            c.request.resize(header + n);
            if (!read_exact(fd, c.request.data() + header, n, deadline))
                c.request.resize(header);
        }
    } else {
        c.request.clear();
    }

    const std::optional<Bytes> reply = handler_(c.request);
    if (reply) {
        size_t sent = 0;
        while (sent < reply->size()) {
            const ssize_t w = send(fd, reply->data() + sent, reply->size() - sent, MSG_NOSIGNAL);
            if (w <= 0)
                break;
            sent += static_cast<size_t>(w);
        }
        shutdown(fd, SHUT_WR);   // the driver closes its side after the reply
    }

    // The client's close shows up as the end of its stream.
    uint8_t sink[256];
    for (;;) {
        if (!readable(fd, now_ms() + k_patience_ms))
            break;
        const ssize_t r = read(fd, sink, sizeof sink);
        // A client that closes with part of the reply unread resets instead.
        if (r == 0 || (r < 0 && errno == ECONNRESET)) {
            c.closed_by_client = true;
            break;
        }
        if (r < 0)
            break;
    }
    close(fd);

    std::lock_guard<std::mutex> lock(mutex_);
    done_.push_back(std::move(c));
    done_cv_.notify_all();
}
