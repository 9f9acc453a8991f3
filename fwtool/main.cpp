// qel-fwtool: the updater's checks and update from a terminal or a script.
#include <cstring>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "imagecmds.h"
#include "console.h"
#include "output.h"
#include "recordcmds.h"
#include "updatecmd.h"

namespace {

const char k_help[] =
    "Usage: qel-fwtool COMMAND [OPTIONS]\n"
    "Installs firmware on Qel USB audio devices and inspects firmware images.\n"
    "\n"
    "Commands:\n"
    "  devices            list every Qel device present: name, product, version, build\n"
    "  info FILE          print the image file's header and checksum test\n"
    "  check FILE         test the image file's checksum: \"FILE: OK\" or \"FILE: NG (reason)\"\n"
    "  extract FILE       write the decoded body to FILE.bin\n"
    "  update [FILE]      update a device with FILE, or with the built-in image\n"
    "  history            list the update attempts recorded on this computer\n"
    "  report             write a diagnostic report: the history and the newest traces\n"
    "\n"
    "Options:\n"
    "  --device NAME      update: the device of that name (as devices lists it)\n"
    "  --all              update: every device present, one after another\n"
    "  --allow-older      update: skip the version and already-installed tests\n"
    "  --allow-reinstall  update: skip only the already-installed test\n"
    "  --yes              update: do not ask; needed when not on a terminal\n"
    "  --log FILE         update, devices: write the device trace to FILE\n"
    "  --record FILE      update, devices: record every request to the device in\n"
    "                     FILE (JSON Lines, a trace qel-devsim can play back)\n"
    "  --output FILE      report: write it to FILE (default qel-report-TIME.json here)\n"
    "  --json             JSON Lines on stdout, nothing else\n"
    "  --help             this text\n"
    "\n"
    "Exit codes:\n"
    "  0    done: updated and verified (every device with --all); image sound;\n"
    "       devices listed; history listed; report written\n"
    "  1    the update failed: transfer, verification, or the device stopped answering;\n"
    "       the report cannot be written\n"
    "  2    refused by the update policy (other product, not newer, already\n"
    "       updated) or declined\n"
    "  3    no supported device\n"
    "  4    the image file cannot be read or is not sound\n"
    "  64   usage: unknown command or option, several devices and none chosen\n"
    "  75   the device is being updated by another program; try again later\n"
    "  130  interrupted before anything was written\n"
    "With --all: 0 when every device was updated; otherwise 1 if any failed, else 2.\n";

int usage_error(const std::string &text)
{
    // The text may quote the command line, which can hold anything.
    fwtool::err_line(QStringLiteral("qel-fwtool: %1").arg(fwtool::shown(text)));
    fwtool::err_line(QStringLiteral("Try 'qel-fwtool --help'."));
    return 64;
}

} // namespace

int main(int argc, char **argv)
{
    fwtool::interrupt_install();
    const std::vector<std::string> args = fwtool::command_arguments(argc, argv);
    for (const std::string &a : args) {
        if (a == "--help" || a == "-h") {
            fwtool::out_line(QString::fromLatin1(k_help).chopped(1));
            return 0;
        }
    }
    if (args.empty())
        return usage_error("no command given");

    const std::string command = args[0];
    fwtool::UpdateOptions o;
    std::vector<std::string> operands;
    bool saw_device = false, saw_log = false, saw_output = false;
    std::string output;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string a = args[i];
        std::string value;
        bool has_value = false;
        const size_t eq = a.find('=');
        if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a.resize(eq);
            has_value = true;
        }
        const auto take = [&](std::string *out) {
            if (has_value) {
                *out = value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        if (a == "--json" && !has_value) {
            o.json = true;
        } else if (a == "--device") {
            if (!take(&o.device) || o.device.empty())
                return usage_error("--device needs a name");
            saw_device = true;
        } else if (a == "--log") {
            if (!take(&o.log) || o.log.empty())
                return usage_error("--log needs a file");
            saw_log = true;
        } else if (a == "--record") {
            if (!take(&o.record) || o.record.empty())
                return usage_error("--record needs a file");
            saw_log = true;
        } else if (a == "--output") {
            if (!take(&output) || output.empty())
                return usage_error("--output needs a file");
            saw_output = true;
        } else if (a == "--all" && !has_value) {
            o.all = true;
        } else if (a == "--allow-older" && !has_value) {
            o.allow_older = true;
        } else if (a == "--allow-reinstall" && !has_value) {
            o.allow_reinstall = true;
        } else if (a == "--yes" && !has_value) {
            o.yes = true;
        } else if (a == "--") {
            operands.insert(operands.end(), args.begin() + long(i) + 1, args.end());
            break;
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + args[i]);
        } else {
            operands.push_back(args[i]);
        }
    }

    if (saw_output && command != "report")
        return usage_error("--output belongs to report");
    const bool update_only = o.all || o.allow_older || o.allow_reinstall || o.yes || saw_device;
    if (command == "update") {
        if (operands.size() > 1)
            return usage_error("update takes at most one FILE");
        if (o.all && saw_device)
            return usage_error("--all and --device exclude each other");
        if (!operands.empty())
            o.file = operands[0];
        // Qt's own arguments are not taken from the command line.
        int qt_argc = 1;
        QCoreApplication app(qt_argc, argv);
        return fwtool::run_update(o);
    }
    if (update_only)
        return usage_error("these options belong to update");
    if (command == "devices") {
        if (!operands.empty())
            return usage_error("devices takes no FILE");
        return fwtool::run_devices(o.json, o.log, o.record);
    }
    if (saw_log)
        return usage_error("--log and --record belong to update and devices");
    if (command == "history" || command == "report") {
        if (!operands.empty())
            return usage_error(command + " takes no FILE");
        int qt_argc = 1;
        QCoreApplication app(qt_argc, argv);
        if (command == "history")
            return fwtool::run_history(o.json);
        return fwtool::run_report(output, o.json);
    }
    if (command == "info" || command == "check" || command == "extract") {
        if (operands.size() != 1)
            return usage_error(command + " needs one FILE");
        if (command == "info")
            return fwtool::run_info(operands[0], o.json);
        if (command == "check")
            return fwtool::run_check(operands[0], o.json);
        return fwtool::run_extract(operands[0], o.json);
    }
    return usage_error("unknown command " + command);
}
