// Command-line options of qel-devsim.
#ifndef EMULATOR_DEVSIM_DEVSIMOPTIONS_H
#define EMULATOR_DEVSIM_DEVSIMOPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "qeldevice.h"

namespace devsim {

struct Options {
    qel::DeviceConfig device;             // faults, timing, the installed image
    std::optional<std::string> product;   // identity given on the command line;
    std::optional<uint16_t> version;      // what is not given comes from the
    std::optional<uint16_t> build;        // installed image, else the defaults
    std::string installed_path;
    std::string instance;                 // empty: made from the process id
    std::string service = "qel";
    std::string interface = "global";
    std::string log_path;
    std::vector<std::string> faults;      // as given, for the start-up report
    std::string replay_path;              // a trace to play instead of the emulated device
    std::string replay_device;            // its device to play; empty: the first it names
    bool help = false;
};

// Parses argv into *options; false with *error set on bad input. Options take
// their value as the next argument or after '='. The emulated device's own
// options are refused beside --replay: the trace is the device then.
bool parse_options(int argc, const char *const *argv, Options *options, std::string *error);

// Reads the installed image, if one was named, and settles the identity into
// options->device. False with *error set when the file cannot be read.
bool settle_device(Options *options, std::string *error);

std::string usage();

} // namespace devsim

#endif
