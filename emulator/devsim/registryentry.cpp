#include "registryentry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace devsim {

namespace {

std::string errno_text(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

bool valid_entry_name(const std::string &name)
{
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos
           && name.size() <= 255;
}

RegistryEntry::~RegistryEntry()
{
    remove();
}

bool RegistryEntry::create(const std::string &root, const std::string &instance,
                           const std::string &service, const std::string &interface,
                           std::string *error)
{
    remove();
    if (!valid_entry_name(instance) || !valid_entry_name(interface) || interface == "qel") {
        *error = "unusable instance or interface name";
        return false;
    }
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) {
        *error = "cannot make " + root + ": " + ec.message();
        return false;
    }

    // The socket is bound under the dot-name, whose path is one byte longer
    // than the final one, so the final channel path fits a socket address too.
    const std::string final_dir = root + "/" + instance;
    const std::string temp_dir = root + "/." + instance;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const std::string temp_channel = temp_dir + "/render/qel";
    if (temp_channel.size() >= sizeof addr.sun_path) {
        *error = "channel path too long for a socket: " + final_dir + "/render/qel";
        return false;
    }
    std::memcpy(addr.sun_path, temp_channel.c_str(), temp_channel.size());

    if (::mkdir(temp_dir.c_str(), 0700) != 0) {
        *error = errno == EEXIST ? temp_dir + " exists: another device is being prepared there, "
                                              "or a stopped one left it (remove it)"
                                 : errno_text("cannot make " + temp_dir);
        return false;
    }
    auto fail = [&](const std::string &why) {
        *error = why;
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        fs::remove_all(temp_dir, ec);
        return false;
    };

    if (::mkdir((temp_dir + "/render").c_str(), 0700) != 0)
        return fail(errno_text("cannot make " + temp_dir + "/render"));
    {
        std::ofstream f(temp_dir + "/service", std::ios::binary);
        f << service << '\n';
        std::ofstream g(temp_dir + "/render/" + interface, std::ios::binary);
        if (!f || !g)
            return fail("cannot write into " + temp_dir);
    }
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return fail(errno_text("socket"));
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return fail(errno_text("cannot bind " + temp_channel));
    if (::listen(fd_, 16) != 0)
        return fail(errno_text("listen"));
    // A directory renamed onto an existing one that is not empty fails:
    // another device of that name is present.
    if (::rename(temp_dir.c_str(), final_dir.c_str()) != 0)
        return fail(errno == EEXIST || errno == ENOTEMPTY || errno == EISDIR || errno == ENOTDIR
                        ? "a device named " + instance + " is already present in " + root
                        : errno_text("cannot rename " + temp_dir));
    dir_ = final_dir;
    interface_ = interface;
    return true;
}

void RegistryEntry::remove()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        dir_.clear();
    }
}

} // namespace devsim
