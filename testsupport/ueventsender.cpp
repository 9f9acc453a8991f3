#include "ueventsender.h"

#include <cstdint>
#include <cstring>
#include <fstream>

#include <arpa/inet.h>
#include <glob.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace ueventsender {

namespace {

// The header libudev puts before a device's properties; a monitor drops a
// message whose magic, or whose subsystem and device-type hashes, do not
// match its filter.
struct Header {
    char prefix[8];
    uint32_t magic;            // network order
    uint32_t header_size;
    uint32_t properties_off;
    uint32_t properties_len;
    uint32_t subsystem_hash;   // network order
    uint32_t devtype_hash;     // network order
    uint32_t tag_bloom_hi;
    uint32_t tag_bloom_lo;
};

const uint32_t k_magic = 0xfeedcafe;

void add_property(std::string &buffer, const std::string &property)
{
    buffer += property;
    buffer.push_back('\0');
}

bool send_one(const std::string &socket_path, iovec *iov, size_t count)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    msghdr msg{};
    msg.msg_name = &addr;
    msg.msg_namelen = sizeof addr;
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    // A monitor that was closed leaves its socket file behind: refused, skipped.
    const bool sent = sendmsg(fd, &msg, 0) >= 0;
    close(fd);
    return sent;
}

// libudev's hash of a property value, which its monitors filter on.
uint32_t hash32(const std::string &s)
{
    // MurmurHash2 with seed 0, reading 4-byte words in host order as libudev does.
    const uint32_t m = 0x5bd1e995;
    size_t len = s.size();
    uint32_t h = static_cast<uint32_t>(len);
    const unsigned char *data = reinterpret_cast<const unsigned char *>(s.data());
    for (; len >= 4; data += 4, len -= 4) {
        uint32_t k;
        std::memcpy(&k, data, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
    }
    switch (len) {
    case 3:
        h ^= static_cast<uint32_t>(data[2]) << 16;
        [[fallthrough]];
    case 2:
        h ^= static_cast<uint32_t>(data[1]) << 8;
        [[fallthrough]];
    case 1:
        h ^= data[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

} // namespace

std::vector<std::string> read_properties(const std::string &uevent_file)
{
    std::vector<std::string> properties;
    std::ifstream f(uevent_file);
    for (std::string line; std::getline(f, line);)
        if (line.find('=') != std::string::npos)
            properties.push_back(line);
    return properties;
}

int send(const std::string &testbed_root, const Event &event)
{
    static unsigned long long seqnum = 1;
    std::string buffer;
    add_property(buffer, "ACTION=" + event.action);
    add_property(buffer, "DEVPATH=" + event.devpath);
    add_property(buffer, "SUBSYSTEM=" + event.subsystem);
    add_property(buffer, "SEQNUM=" + std::to_string(seqnum++));
    for (const std::string &p : event.properties)
        add_property(buffer, p);

    Header header{};
    std::memcpy(header.prefix, "libudev", 8);
    header.magic = htonl(k_magic);
    header.header_size = sizeof header;
    header.properties_off = sizeof header;
    header.properties_len = static_cast<uint32_t>(buffer.size());
    header.subsystem_hash = htonl(hash32(event.subsystem));
    if (!event.devtype.empty())
        header.devtype_hash = htonl(hash32(event.devtype));
    iovec iov[2] = { { &header, sizeof header }, { buffer.data(), buffer.size() } };

    // umockdev's preload library binds each monitor to <root>/event<N>.
    glob_t found;
    int reached = 0;
    if (glob((testbed_root + "/event[0-9]*").c_str(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i)
            reached += send_one(found.gl_pathv[i], iov, 2) ? 1 : 0;
        globfree(&found);
    }
    return reached;
}

} // namespace ueventsender
