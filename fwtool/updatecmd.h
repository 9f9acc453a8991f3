// The update command: the window's update, from a terminal or a script.
#ifndef FWTOOL_UPDATECMD_H
#define FWTOOL_UPDATECMD_H

#include <string>

namespace fwtool {

struct UpdateOptions {
    std::string file;     // empty: the embedded image
    std::string device;   // empty: the only one present
    std::string log;
    std::string record;   // the session's trace file, or empty
    bool all = false;
    bool allow_older = false;
    bool allow_reinstall = false;
    bool yes = false;
    bool json = false;
};

int run_update(const UpdateOptions &options);

// The devices command.
int run_devices(bool json, const std::string &log, const std::string &record);

} // namespace fwtool

#endif
