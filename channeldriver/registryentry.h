// A device's entry in the device registry, as the driver side makes it: the
// instance directory with its `service` file, one interface file and the
// listening channel socket `render/qel`. It is prepared under a dot-name and
// renamed into place, so that a client never sees half of it.
#ifndef CHANNELDRIVER_REGISTRYENTRY_H
#define CHANNELDRIVER_REGISTRYENTRY_H

#include <string>

namespace qeldriver {

class RegistryEntry {
public:
    RegistryEntry() = default;
    ~RegistryEntry();   // removes the entry
    RegistryEntry(const RegistryEntry &) = delete;
    RegistryEntry &operator=(const RegistryEntry &) = delete;

    // Makes the entry under root (created when missing). False with *error
    // set when it cannot be made; nothing is left behind then.
    bool create(const std::string &root, const std::string &instance, const std::string &service,
                const std::string &interface, std::string *error);

    // Closes the channel and removes the directory; safe to call again.
    void remove();

    // Non-blocking: a connection gone before it is accepted never blocks.
    int listen_fd() const { return fd_; }
    const std::string &dir() const { return dir_; }
    std::string channel_path() const { return dir_ + "/render/qel"; }
    std::string interface_path() const { return dir_ + "/render/" + interface_; }

private:
    int fd_ = -1;
    std::string dir_;
    std::string interface_;
};

// Makes a missing root private (0700); false with *error set when the root
// cannot be made or is one the client would not trust.
bool prepare_registry_root(const std::string &root, std::string *error);


// True when name can be a device directory's name (and an interface's).
bool valid_entry_name(const std::string &name);

} // namespace qeldriver

#endif
