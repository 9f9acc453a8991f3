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

#include "usbdevs_os.h"

namespace fs = std::filesystem;

namespace qeldriver {

namespace {

std::string errno_text(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

// Files get no group or other write permission whatever the umask says; the
// client would skip the device otherwise.
bool write_private_file(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
    f.close();
    return f && ::chmod(path.c_str(), 0644) == 0;
}

} // namespace

// The root is made private, and one the client would not trust is refused:
// a device registered there would never be found, and whoever else could
// write there could put their own device beside it.
bool prepare_registry_root(const std::string &root, std::string *error)
{
    if (usbdevs_posix_root_state(root) == USBDEVS_ROOT_MISSING) {
        std::error_code ec;
        const fs::path parent = fs::path(root).parent_path();
        if (!parent.empty())
            fs::create_directories(parent, ec);
        if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = errno_text("cannot make " + root);
            return false;
        }
    }
    if (usbdevs_posix_root_state(root) != USBDEVS_ROOT_TRUSTED) {
        const int why = errno;
        // Somebody else's (or a link, or no directory at all): nothing the
        // user can fix in place. Another user can make /tmp/qel-devices-<uid>
        // before this user's first start when there is no runtime directory.
        struct stat st;
        if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
            *error = "the device registry " + root + " is not yours; remove it or set XDG_RUNTIME_DIR";
            return false;
        }
        *error = "the device registry " + root
                 + " is not safe to use: it must be a directory (not a link) owned by you or "
                   "by root that nobody else may write (" + std::strerror(why)
                 + "); remove it or fix its owner and mode (chmod 700)";
        return false;
    }
    return true;
}

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
    if (!prepare_registry_root(root, error))
        return false;

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
    if (!write_private_file(temp_dir + "/service", service + "\n")
        || !write_private_file(temp_dir + "/render/" + interface, ""))
        return fail("cannot write into " + temp_dir);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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

// update.lock goes with the directory: the file belongs to the device, and
// an updater still holding it has nothing left to update.
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

} // namespace qeldriver
