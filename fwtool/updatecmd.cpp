#include "updatecmd.h"

#include <cstdio>
#include <memory>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include "companion.h"
#include "console.h"
#include "devicelist.h"
#include "firmwareimage.h"
#include "fwimage.h"
#include "output.h"
#include "progress.h"
#include "recording.h"
#include "shutdownblock.h"
#include "updatelock.h"
#include "updatepolicy.h"
#include "updaterecord.h"
#include "updatesession.h"
#include "usdevice.h"
#include "versiontext.h"

namespace fwtool {

namespace {

const char k_embedded[] = ":/res/update.bin";

struct Outcome {
    QString result;    // updated, refused, declined, failed, busy, no-device, bad-image
    QString message;   // the text shown
    QString cause;     // a second line, when known
    us_cause reason = US_CAUSE_NONE;   // the failure's named cause
    // The same for a terminal where they carry text from outside (a path, a
    // name); empty where message and cause are shown as they are.
    QString shown_message;
    QString shown_cause;
    int exit = 0;
};

const int k_exit_busy = 75;   // a temporary failure: try again once the other update has ended

QString q(const std::string &s)
{
    return QString::fromUtf8(s.data(), int(s.size()));
}

// The first letter raised, a full stop added: a reason as a line of its own.
QString sentence(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text + QLatin1Char('.');
}

// The second line of a failure, from the cause the device layer named;
// empty where the first line says it all (the firmware did not check out).
QString cause_sentence(us_cause cause)
{
    switch (cause) {
    case US_CAUSE_NONE:
    case US_CAUSE_UNSTEADY:
    case US_CAUSE_MISMATCH:
        return QString();
    case US_CAUSE_NO_DEVICE:
    case US_CAUSE_GONE:
        return QStringLiteral("The device went away.");
    case US_CAUSE_NO_ACCESS:
        return QStringLiteral("No permission to open the device's channel.");
    // A device that stays busy, or whose answers stay short, has stopped
    // answering as far as the update can tell.
    case US_CAUSE_TIMEOUT:
    case US_CAUSE_BUSY:
    case US_CAUSE_MALFORMED:
        return QStringLiteral("The device stopped answering (time-out).");
    default:
        return QStringLiteral("The device refused a request.");
    }
}

class Updater {
public:
    explicit Updater(const UpdateOptions &o)
        : o_(o), terminal_in_(stdin_is_terminal()), progress_(o.json, stderr_is_terminal())
    {
        image_.reset(new FWImage());
        job_.reset(new FWUpdateJob());
    }

    // True when the image is sound; otherwise the outcome says why.
    bool load_image(Outcome *fail)
    {
        path_ = o_.file.empty() ? QString::fromLatin1(k_embedded) : QString::fromStdString(o_.file);
        const QString shown_path = o_.file.empty() ? path_ : shown(o_.file);
        fail->result = QStringLiteral("bad-image");
        fail->exit = 4;
        const auto refuse = [&](const QString &text) {
            fail->message = text.arg(path_);
            fail->shown_message = text.arg(shown_path);
            return false;
        };
        FirmwareImage fw;
        if (!fw.load(path_, image_->data, FW_IMAGE_CAPACITY)) {
            fail->cause = sentence(fw.load_error());
            return refuse(QStringLiteral("Cannot read the firmware file: %1"));
        }
        if (!fw.has_header())
            return refuse(QStringLiteral("Cannot read the firmware file: %1"));
        image_->size = fw.length();
        // The update takes the header from the device object.
        dev_.set_fw_image(image_->data);
        if (!fw.sound())
            return refuse(QStringLiteral("Checksum Error: %1"));
        if (!fw.product(&fw_.product))
            return refuse(QStringLiteral("Cannot get product name: %1"));
        fw_.version = fw.version();
        fw_.build = fw.build();
        return true;
    }

    // One attempt, recorded: its device traffic in the state folder's
    // traces, and its line in the history once it has ended.
    Outcome update(const DeviceEntry &device)
    {
        records::UpdateRecord record(QStringLiteral("qel-fwtool"), QStringLiteral(QEL_VERSION),
                                     q(device.name));
        warn_once(record.warning());
        record.set_to(fw_.version, fw_.build,
                      o_.file.empty() ? QStringLiteral("embedded")
                                      : QFileInfo(path_).absoluteFilePath());
        const Outcome r = attempt(device, &record);
        // A device gone before it could be opened is a failed attempt too.
        const QString result = r.result == QLatin1String("no-device") ? QStringLiteral("failed")
                                                                      : r.result;
        QString text = r.message;
        if (!r.cause.isEmpty())
            text += QLatin1Char('\n') + r.cause;
        const QString said = record.warning();
        record.finish(result, r.reason, text);
        if (record.warning() != said)
            warn_once(record.warning());
        return r;
    }

    void text_event(const QString &text)
    {
        // The progress is polled; what was sent before the text comes first.
        progress_.show(job_->pos.load(), uint32_t(job_->total));
        if (o_.json) {
            QJsonObject e;
            e.insert(QStringLiteral("event"), QStringLiteral("text"));
            e.insert(QStringLiteral("text"), text);
            out_json(e);
        } else {
            progress_.clear();
            out_line(text);
        }
    }

private:
    // What cannot be recorded is said on stderr, never on stdout, which may
    // be JSON Lines.
    static void warn_once(const QString &warning)
    {
        if (!warning.isEmpty())
            err_line(QStringLiteral("qel-fwtool: warning: %1").arg(shown(warning.toStdString())));
    }

    Outcome attempt(const DeviceEntry &device, records::UpdateRecord *record)
    {
        Outcome r;
        const auto refuse = [&](const QString &text, const QString &result, int code) {
            r.message = text;
            r.result = result;
            r.exit = code;
            return r;
        };
        if (!dev_.open_path(device.path.data()))
            return refuse(QStringLiteral("Supported hardware is not connected."),
                          QStringLiteral("no-device"), 3);
        // Held until this function returns, however the update ends; taken
        // before the checks, which already talk to the device. Where no lock
        // can be had (a registry directory not writable) the update goes
        // ahead as before.
        UpdateLock lock;
        if (lock.take(device.path.data()) == UpdateLock::Busy)
            return refuse(QStringLiteral("The device is being updated by another program."),
                          QStringLiteral("busy"), k_exit_busy);
        const UpdateChecks checks = o_.allow_older ? UpdateChecks::SkipVersionAndInstalled
                                    : o_.allow_reinstall ? UpdateChecks::SkipInstalled
                                                         : UpdateChecks::All;
        const UpdateDecision d = decide_update(dev_, fw_, checks);
        const QString hw_version = version_text(d.device.version);
        if (!d.device.product.empty())
            record->set_product(q(d.device.product));
        // Only what the device told counts as where the update started from.
        if (d.verdict != UpdateVerdict::NoDeviceProduct && d.verdict != UpdateVerdict::NoDeviceVersion
            && d.verdict != UpdateVerdict::NoDeviceBuild)
            record->set_from(d.device.version, d.device.build);
        const auto unreadable = [&](const QString &text) {
            refuse(text, QStringLiteral("failed"), 1);
            r.reason = dev_.cause();
            r.cause = cause_sentence(r.reason);
            return r;
        };
        switch (d.verdict) {
        case UpdateVerdict::Proceed:
            break;
        case UpdateVerdict::NoDeviceProduct:
            return unreadable(QStringLiteral("Cannot get connected hardware product"));
        case UpdateVerdict::NoDeviceVersion:
            return unreadable(QStringLiteral("Cannot get connected hardware version"));
        case UpdateVerdict::NoDeviceBuild:
            return unreadable(QStringLiteral("Cannot get connected hardware build"));
        case UpdateVerdict::NoDeviceChecksum:
            return unreadable(QStringLiteral("Cannot get hardware checksum"));
        case UpdateVerdict::ProductMismatch:
            return refuse(QStringLiteral("Product is not matching"), QStringLiteral("refused"), 2);
        case UpdateVerdict::NotNewer:
            return refuse(QStringLiteral("Cannot downgrade from %1 to %2")
                              .arg(hw_version, version_text(fw_.version)),
                          QStringLiteral("refused"), 2);
        case UpdateVerdict::AlreadyInstalled:
            return refuse(QStringLiteral("Already updated."), QStringLiteral("refused"), 2);
        }

        if (!o_.yes) {
            if (!terminal_in_)
                return refuse(QStringLiteral("Declined: not on a terminal; add --yes to update "
                                             "without a question."),
                              QStringLiteral("declined"), 2);
            if (!ask(device, d.device))
                return refuse(QStringLiteral("Declined."), QStringLiteral("declined"), 2);
        }
        return transfer();
    }

    bool ask(const DeviceEntry &device, const FirmwareIdentity &hw)
    {
        const auto line = [](const FirmwareIdentity &id) {
            return QStringLiteral("  product:%1, version:%2, build:%3\n")
                .arg(shown(id.product), version_text(id.version), QString::number(id.build));
        };
        err_text(QStringLiteral("Firmware Update of %1\n\nFrom:\n").arg(shown(device.name)) + line(hw)
                 + QStringLiteral("\nTo:\n") + line(fw_) + QStringLiteral("\nAre you sure? [y/N] "));
        std::string answer = read_answer();
        while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' '))
            answer.pop_back();
        return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes"
               || answer == "YES";
    }

    Outcome transfer()
    {
        Outcome r;
        image_->device = &dev_;
        job_->image = image_.get();
        job_->pos = 0;
        job_->total = int(dev_.get_fw_size());

        // Made on this thread, whose event loop answers the system's question
        // before a logout or shutdown while the worker writes the device.
        const ShutdownBlock held_off;
        UpdateOutcome outcome;
        UpdateSession session;
        // On the update's thread as the first transfer is announced, so that
        // the protection is on before the first byte leaves.
        QObject::connect(&session, &UpdateSession::phase, &session, [](UpdatePhase phase, int) {
            if (phase == UpdatePhase::Sending)
                interrupt_protect(true);
        }, Qt::DirectConnection);
        QObject::connect(&session, &UpdateSession::text, qApp,
                         [this](const QString &text) { text_event(text); });
        QObject::connect(&session, &UpdateSession::finished, qApp,
                         [&outcome](const UpdateOutcome &o) {
                             outcome = o;
                             QCoreApplication::quit();
                         });
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, qApp, [&] {
            progress_.show(job_->pos.load(), uint32_t(job_->total));
        });
        timer.start(100);
        session.start(job_.get());
        QCoreApplication::exec();
        timer.stop();
        interrupt_protect(false);
        progress_.clear();

        if (outcome.installed) {
            r.result = QStringLiteral("updated");
            r.message = QStringLiteral("Completed.\n\nPlease turn the device's power on again.");
            r.exit = 0;
            return r;
        }
        r.result = QStringLiteral("failed");
        r.message = outcome.text.isEmpty() ? QStringLiteral("ERROR") : outcome.text;
        r.exit = 1;
        r.reason = outcome.cause;
        r.cause = cause_sentence(outcome.cause);
        return r;
    }

    const UpdateOptions &o_;
    bool terminal_in_;
    Progress progress_;
    UsDevice dev_;
    std::unique_ptr<FWImage> image_;
    std::unique_ptr<FWUpdateJob> job_;
    FirmwareIdentity fw_;
    QString path_;
};

void report(const UpdateOptions &o, const std::string &name, const Outcome &r)
{
    if (o.json) {
        QJsonObject e;
        e.insert(QStringLiteral("event"), QStringLiteral("result"));
        e.insert(QStringLiteral("device"), name.empty() ? QJsonValue() : QJsonValue(q(name)));
        e.insert(QStringLiteral("result"), r.result);
        e.insert(QStringLiteral("message"), r.message);
        if (!r.cause.isEmpty())
            e.insert(QStringLiteral("cause"), r.cause);
        if (r.reason != US_CAUSE_NONE)
            e.insert(QStringLiteral("cause_name"), QLatin1String(us_cause_name(r.reason)));
        e.insert(QStringLiteral("exit"), r.exit);
        out_json(e);
        return;
    }
    // The completion text went out as the worker said it.
    if (r.result == QLatin1String("updated"))
        return;
    const QString prefix = name.empty() ? QString() : shown(name) + QStringLiteral(": ");
    err_line(prefix + (r.shown_message.isEmpty() ? r.message : r.shown_message));
    if (!r.cause.isEmpty())
        err_line(prefix + (r.shown_cause.isEmpty() ? r.cause : r.shown_cause));
}

} // namespace

int run_update(const UpdateOptions &o)
{
    if (!divert_trace(o.log)) {
        err_line(QStringLiteral("qel-fwtool: cannot open the log %1").arg(shown(o.log)));
        return 64;
    }
    SessionRecording recording;
    if (!recording.start(o.record))
        return 64;
    companion_stop();

    Updater updater(o);
    Outcome bad;
    if (!updater.load_image(&bad)) {
        report(o, std::string(), bad);
        return bad.exit;
    }

    std::vector<DeviceEntry> devices;
    const bool listed = list_devices(&devices);
    std::vector<DeviceEntry> chosen;
    if (!o.device.empty())
        chosen = devices_named(devices, o.device);
    else if (o.all || devices.size() == 1)
        chosen = devices;
    // Several devices whose escaped names are alike are as ambiguous as
    // several devices and no name.
    const std::vector<DeviceEntry> &choices = o.device.empty() ? devices : chosen;
    if (!o.all && choices.size() > 1) {
        if (o.json) {
            QJsonObject e;
            e.insert(QStringLiteral("event"), QStringLiteral("result"));
            e.insert(QStringLiteral("device"), QJsonValue());
            e.insert(QStringLiteral("result"), QStringLiteral("refused"));
            e.insert(QStringLiteral("message"),
                     QStringLiteral("Several devices are present; choose one with --device NAME or use --all."));
            e.insert(QStringLiteral("exit"), 64);
            out_json(e);
        } else {
            err_line(QStringLiteral("Several devices are present; choose one with --device NAME "
                                    "or use --all:"));
            for (const DeviceEntry &d : choices)
                err_line(QStringLiteral("  ") + shown(d.name));
        }
        return 64;
    }
    if (chosen.empty()) {
        Outcome none;
        none.result = QStringLiteral("no-device");
        none.message = QStringLiteral("Supported hardware is not connected.");
        const std::string problem = listed ? std::string() : registry_problem(false);
        if (!problem.empty()) {
            none.cause = q(problem);
            none.shown_cause = q(registry_problem(true));
        } else if (o.device.empty()) {
            none.cause = QStringLiteral("No Qel device is present.");
        } else {
            none.cause = QStringLiteral("No device is named %1.").arg(q(o.device));
            none.shown_cause = QStringLiteral("No device is named %1.").arg(shown(o.device));
        }
        none.exit = 3;
        report(o, o.device, none);
        return 3;
    }

    int updated = 0, refused = 0, failed = 0, last_exit = 0;
    for (const DeviceEntry &d : chosen) {
        if (o.all && !o.json)
            out_line(QStringLiteral("== %1").arg(shown(d.name)));
        const Outcome r = updater.update(d);
        report(o, d.name, r);
        last_exit = r.exit;
        if (r.exit == 0)
            ++updated;
        else if (r.exit == 2)
            ++refused;
        else
            ++failed;
    }
    const int code = failed ? 1 : refused ? 2 : 0;
    if (o.all) {
        if (o.json) {
            QJsonObject e;
            e.insert(QStringLiteral("event"), QStringLiteral("summary"));
            e.insert(QStringLiteral("updated"), updated);
            e.insert(QStringLiteral("refused"), refused);
            e.insert(QStringLiteral("failed"), failed);
            e.insert(QStringLiteral("exit"), code);
            out_json(e);
        } else {
            out_line(QStringLiteral("updated %1, refused %2, failed %3").arg(updated).arg(refused).arg(failed));
        }
    }
    // A single device's code is its own: 3 for one that went before it was opened.
    if (!o.all)
        return last_exit;
    return code;
}

int run_devices(bool json, const std::string &log, const std::string &record)
{
    if (!divert_trace(log)) {
        err_line(QStringLiteral("qel-fwtool: cannot open the log %1").arg(shown(log)));
        return 64;
    }
    SessionRecording recording;
    if (!recording.start(record))
        return 64;
    std::vector<DeviceEntry> devices;
    if (!list_devices(&devices)) {
        const std::string problem = registry_problem(true);
        err_line(problem.empty() ? QStringLiteral("The device list cannot be had.") : q(problem));
        return 3;
    }
    int answered = 0, busy = 0;
    for (const DeviceEntry &d : devices) {
        UsDevice dev;
        FirmwareIdentity id;
        // Asking a device while another program updates it would slip these
        // requests between the update's own; a device being updated is
        // listed as such, unasked.
        UpdateLock lock;
        const bool in_update = lock.take(d.path.data()) == UpdateLock::Busy;
        const bool known = !in_update && dev.open_path(d.path.data()) && dev.get_product(id.product)
                           && dev.get_version(&id.version) && dev.get_build(&id.build);
        lock.release();
        answered += known ? 1 : 0;
        busy += in_update ? 1 : 0;
        if (json) {
            QJsonObject o;
            o.insert(QStringLiteral("name"), q(d.name));
            o.insert(QStringLiteral("product"), known ? QJsonValue(q(id.product)) : QJsonValue());
            o.insert(QStringLiteral("version"), known ? QJsonValue(version_text(id.version)) : QJsonValue());
            o.insert(QStringLiteral("version_number"), known ? QJsonValue(int(id.version)) : QJsonValue());
            o.insert(QStringLiteral("build"), known ? QJsonValue(int(id.build)) : QJsonValue());
            o.insert(QStringLiteral("busy"), in_update);
            out_json(o);
        } else if (known) {
            out_line(QStringLiteral("%1  %2  %3  build %4")
                         .arg(shown(d.name), shown(id.product), version_text(id.version))
                         .arg(id.build));
        } else if (in_update) {
            out_line(QStringLiteral("%1  (being updated by another program)").arg(shown(d.name)));
        } else {
            out_line(QStringLiteral("%1  (does not answer)").arg(shown(d.name)));
        }
    }
    if (devices.empty()) {
        if (!json)
            err_line(QStringLiteral("No Qel device is present."));
        return 3;
    }
    // Listed entries that nothing answers behind are no supported device.
    if (answered == 0 && busy == 0) {
        if (!json)
            err_line(QStringLiteral("No listed device answers."));
        return 3;
    }
    return 0;
}

} // namespace fwtool
