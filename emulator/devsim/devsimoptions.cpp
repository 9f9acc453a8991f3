#include "devsimoptions.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "prgdecode.h"
#include "registryentry.h"

namespace devsim {

namespace {

// An image much larger than any flash is not read whole into memory.
const std::streamoff k_max_image = 64 << 20;
// A product name longer than the image's field still fits a reply message.
const size_t k_max_product = 48;

bool parse_uint(const std::string &text, unsigned long max, unsigned long *out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno || *end || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

bool parse_options(int argc, const char *const *argv, Options *o, std::string *error)
{
    std::string emulated;   // the first option that shapes the emulated device
    bool device_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            has_value = true;
        }
        if (arg == "--help" || arg == "-h") {
            o->help = true;
            continue;
        }
        auto next = [&](std::string *out) {
            if (has_value) {
                *out = value;
                return true;
            }
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto number = [&](unsigned long max, unsigned long *out) {
            std::string text;
            if (!next(&text))
                return false;
            if (!parse_uint(text, max, out)) {
                *error = arg + ": \"" + text + "\" is not a number from 0 to " + std::to_string(max);
                return false;
            }
            return true;
        };

        unsigned long n = 0;
        std::string text;
        if (emulated.empty()
            && (arg == "--product" || arg == "--version" || arg == "--build" || arg == "--installed"
                || arg == "--fault" || arg == "--room" || arg == "--busy-us"
                || arg == "--latency-us"))
            emulated = arg;
        if (arg == "--replay" || arg == "--device") {
            if (!next(&text))
                return false;
            if (text.empty()) {
                *error = arg + " needs a value";
                return false;
            }
            (arg == "--replay" ? o->replay_path : o->replay_device) = text;
            device_given = device_given || arg == "--device";
        } else if (arg == "--product") {
            if (!next(&text))
                return false;
            if (text.size() > k_max_product) {
                *error = "--product: at most " + std::to_string(k_max_product) + " bytes";
                return false;
            }
            o->product = text;
        } else if (arg == "--version") {
            if (!number(0xFFFF, &n))
                return false;
            o->version = static_cast<uint16_t>(n);
        } else if (arg == "--build") {
            if (!number(0xFFFF, &n))
                return false;
            o->build = static_cast<uint16_t>(n);
        } else if (arg == "--installed") {
            if (!next(&o->installed_path))
                return false;
        } else if (arg == "--instance" || arg == "--interface") {
            if (!next(&text))
                return false;
            if (!qeldriver::valid_entry_name(text) || (arg == "--interface" && text == "qel")) {
                *error = arg + ": \"" + text + "\" cannot name an entry of the registry";
                return false;
            }
            (arg == "--instance" ? o->instance : o->interface) = text;
        } else if (arg == "--service") {
            if (!next(&o->service))
                return false;
        } else if (arg == "--fault") {
            std::string why;
            if (!next(&text))
                return false;
            if (!qel::parse_fault(text, o->device, &why)) {
                *error = "--fault " + text + ": " + why;
                return false;
            }
            o->faults.push_back(text);
        } else if (arg == "--room") {
            if (!number(0xFFFFFFFFul, &n))
                return false;
            o->device.burst_room = static_cast<uint32_t>(n);
        } else if (arg == "--busy-us") {
            if (!number(0xFFFFFFFFul, &n))
                return false;
            o->device.busy_us = static_cast<uint32_t>(n);
        } else if (arg == "--latency-us") {
            if (!number(10000000ul, &n))
                return false;
            o->device.latency_us = static_cast<uint32_t>(n);
        } else if (arg == "--log") {
            if (!next(&o->log_path))
                return false;
        } else {
            *error = "unknown option " + arg;
            return false;
        }
    }
    if (device_given && o->replay_path.empty()) {
        *error = "--device picks a device of the trace: it needs --replay";
        return false;
    }
    if (!o->replay_path.empty() && !emulated.empty()) {
        *error = emulated + " shapes the emulated device; it cannot be given with --replay";
        return false;
    }
    return true;
}

bool settle_device(Options *o, std::string *error)
{
    qel::DeviceConfig &cfg = o->device;
    if (!o->installed_path.empty()) {
        std::ifstream f(o->installed_path, std::ios::binary | std::ios::ate);
        const std::streamoff size = f ? std::streamoff(f.tellg()) : -1;
        if (size < 0 || size > k_max_image) {
            *error = "cannot read the image " + o->installed_path;
            return false;
        }
        f.seekg(0);
        cfg.installed.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        if (static_cast<std::streamoff>(cfg.installed.size()) != size) {
            *error = "cannot read the image " + o->installed_path;
            return false;
        }
    }

    // Start from the image's header when there is one, then apply what the
    // command line says.
    if (cfg.installed.size() >= PRG_HEADER_SIZE) {
        prg_header header;
        prgdecode_set_header(&header, cfg.installed.data());
        char product[PRG_PRODUCT_SIZE + 1];
        prgdecode_get_product(&header, product, sizeof product);
        cfg.product = product;
        cfg.version = prgdecode_get_version(&header);
        cfg.build = prgdecode_get_build(&header);
    }
    if (o->product)
        cfg.product = *o->product;
    if (o->version)
        cfg.version = *o->version;
    if (o->build)
        cfg.build = *o->build;
    cfg.identity_from_image = false;
    // The program runs for as long as it is needed; its own log is the file.
    cfg.keep_log = false;
    return true;
}

std::string usage()
{
    return "Usage: qel-devsim [OPTION]...\n"
           "       qel-devsim --replay FILE [--device NAME] [OPTION]...\n"
           "Serves an emulated Qel device over the device channel, as its driver would,\n"
           "until SIGINT or SIGTERM. Prints \"ready: <channel path>\" once it takes requests.\n"
           "\n"
           "With --replay it serves the device of a trace file recorded by the updater\n"
           "instead: each request that agrees with the next one recorded for that device\n"
           "gets the recorded outcome. The first that does not, or one past the end, and\n"
           "every later one fail with EIO, and a line \"diverged: request N: expected ...,\n"
           "got ...\" says where. Where the recording could no longer open the device, it\n"
           "goes away. Stopped, it prints \"replayed: K of N requests\".\n"
           "\n"
           "  --instance NAME     the device's name in the registry (default devsim-<pid>)\n"
           "  --service NAME      driver service name (default qel)\n"
           "  --interface NAME    interface file name (default global)\n"
           "  --log FILE          write one line per request to FILE\n"
           "  --help              this text\n"
           "\n"
           "The emulated device (not with --replay):\n"
           "  --product NAME      product name (at most 48 bytes)\n"
           "  --version N         firmware version, 102 for 1.02\n"
           "  --build N           firmware build\n"
           "  --installed FILE    installed firmware image; gives the identity not set above\n"
           "                      (default identity: Qel 1.02, build 31)\n"
           "  --room N            bytes granted per status request (default 1024)\n"
           "  --busy-us N         busy time after each burst, in microseconds\n"
           "  --latency-us N      added to every transfer, in microseconds\n"
           "  --fault MODE[=ARG]  a fault to show; may be given again\n"
           "\n"
           "Replay:\n"
           "  --replay FILE       the trace file (JSON Lines) to play\n"
           "  --device NAME       the device of the trace to play (default: the first one\n"
           "                      it names)\n"
           "\n"
           "Faults:\n"
           + qel::fault_help()
           + "\n"
             "The registry is $XDG_RUNTIME_DIR/qel-devices, or /tmp/qel-devices-<uid>.\n";
}

} // namespace devsim
