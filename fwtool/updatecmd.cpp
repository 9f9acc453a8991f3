#include "updatecmd.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>
#include <QTimer>

#include "companion.h"
#include "devicelist.h"
#include "fwimage.h"
#include "fwupdateworker.h"
#include "interrupt.h"
#include "output.h"
#include "progress.h"
#include "updatepolicy.h"
#include "usdevice.h"
#include "versiontext.h"

namespace fwtool {

namespace {

const char k_embedded[] = ":/res/update.bin";

struct Outcome {
    QString result;    // updated, refused, declined, failed, no-device, bad-image
    QString message;   // the text shown
    QString cause;     // a second line, when known
    int exit = 0;
};

QString q(const std::string &s)
{
    return QString::fromUtf8(s.data(), int(s.size()));
}

// Why the device stopped serving requests, asked of the device itself right
// after the failure; errno is the channel's own reason.
QString probe_cause(UsDevice &dev, const std::vector<usbdevs_char> &path, bool answered_is_refusal)
{
    if (!device_present(path))
        return QStringLiteral("The device went away.");
    errno = 0;
    uint16_t version = 0;
    if (dev.get_version(&version))
        return answered_is_refusal ? QStringLiteral("The device refused a request.") : QString();
    switch (errno) {
    case EACCES:
    case EPERM:
        return QStringLiteral("No permission to open the device's channel.");
    case ENOENT:
    case ECONNREFUSED:
    case ECONNRESET:
    case EPIPE:
        return QStringLiteral("The device went away.");
    case ETIMEDOUT:
    case EAGAIN:
        return QStringLiteral("The device stopped answering (time-out).");
    default:
        return QStringLiteral("The device refused a request.");
    }
}

class Updater {
public:
    explicit Updater(const UpdateOptions &o)
        : o_(o), terminal_in_(isatty(STDIN_FILENO) == 1), progress_(o.json, isatty(STDERR_FILENO) == 1)
    {
        image_.reset(new FWImage());
        job_.reset(new FWUpdateJob());
    }

    // True when the image is sound; otherwise the outcome says why.
    bool load_image(Outcome *fail)
    {
        path_ = o_.file.empty() ? QString::fromLatin1(k_embedded) : QString::fromStdString(o_.file);
        fail->result = QStringLiteral("bad-image");
        fail->exit = 4;
        QFile file(path_);
        const qint64 length = file.open(QIODevice::ReadOnly) ? file.size() : -1;
        qint64 got = 0;
        while (length > 0 && length <= FW_IMAGE_CAPACITY && got < length) {
            const qint64 n = file.read(reinterpret_cast<char *>(image_->data) + got, length - got);
            if (n <= 0)
                break;
            got += n;
        }
        if (length < 0 || length > FW_IMAGE_CAPACITY || got != length
            || length < qint64(dev_.set_fw_image(nullptr))) {
            fail->message = QStringLiteral("Cannot read the firmware file: %1").arg(path_);
            return false;
        }
        image_->size = int(length);
        dev_.set_fw_image(image_->data);
        if (!UsDevice::check_fw_image(image_->data, image_->size)) {
            fail->message = QStringLiteral("Checksum Error: %1").arg(path_);
            return false;
        }
        if (!dev_.get_fw_product(fw_.product)) {
            fail->message = QStringLiteral("Cannot get product name: %1").arg(path_);
            return false;
        }
        fw_.version = dev_.get_fw_version();
        fw_.build = dev_.get_fw_build();
        return true;
    }

    Outcome update(const DeviceEntry &device)
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
        const UpdateChecks checks = o_.allow_older ? UpdateChecks::SkipVersionAndInstalled
                                    : o_.allow_reinstall ? UpdateChecks::SkipInstalled
                                                         : UpdateChecks::All;
        const UpdateDecision d = decide_update(dev_, fw_, checks);
        const QString hw_version = version_text(d.device.version);
        const auto unreadable = [&](const QString &text) {
            refuse(text, QStringLiteral("failed"), 1);
            r.cause = probe_cause(dev_, device.path, false);
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
        return transfer(device);
    }

    void text_event(const QString &text)
    {
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
    bool ask(const DeviceEntry &device, const FirmwareIdentity &hw)
    {
        const auto line = [](const FirmwareIdentity &id) {
            return QStringLiteral("  product:%1, version:%2, build:%3\n")
                .arg(q(id.product), version_text(id.version), QString::number(id.build));
        };
        err_text(QStringLiteral("Firmware Update of %1\n\nFrom:\n").arg(q(device.name)) + line(hw)
                 + QStringLiteral("\nTo:\n") + line(fw_) + QStringLiteral("\nAre you sure? [y/N] "));
        std::string answer;
        for (;;) {
            char c = 0;
            const ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || c == '\n')
                break;
            answer += c;
        }
        while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' '))
            answer.pop_back();
        return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes"
               || answer == "YES";
    }

    Outcome transfer(const DeviceEntry &device)
    {
        Outcome r;
        image_->device = &dev_;
        job_->image = image_.get();
        job_->pos = 0;
        job_->total = int(dev_.get_fw_size());

        QString last_error;
        bool completed = false;
        auto *thread = new QThread;
        auto *worker = new FWUpdateWorker;
        worker->job = job_.get();
        worker->moveToThread(thread);
        // Run on the worker's thread as it announces the transfer, so that
        // the protection is on before the first byte leaves.
        QObject::connect(worker, &FWUpdateWorker::process_text, worker, [](const QString &text) {
            if (text.startsWith(QLatin1String("Sending and Updating")))
                interrupt_protect(true);
        }, Qt::DirectConnection);
        QObject::connect(worker, &FWUpdateWorker::process_text, qApp, [&](const QString &text) {
            if (text.startsWith(QLatin1String("Completed.")))
                completed = true;
            text_event(text);
        });
        QObject::connect(worker, &FWUpdateWorker::error, qApp,
                         [&](const QString &text) { last_error = text; });
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, qApp, [&] {
            progress_.show(job_->pos.load(), uint32_t(job_->total));
        });
        QObject::connect(thread, &QThread::started, worker, &FWUpdateWorker::process);
        QObject::connect(worker, &FWUpdateWorker::finished, thread, &QThread::quit);
        QObject::connect(worker, &FWUpdateWorker::finished, worker, &QObject::deleteLater);
        QObject::connect(thread, &QThread::finished, qApp, &QCoreApplication::quit);
        timer.start(100);
        thread->start();
        QCoreApplication::exec();
        thread->wait();
        delete thread;
        timer.stop();
        interrupt_protect(false);
        progress_.clear();

        if (completed) {
            r.result = QStringLiteral("updated");
            r.message = QStringLiteral("Completed.\n\nPlease turn the device's power on again.");
            r.exit = 0;
            return r;
        }
        r.result = QStringLiteral("failed");
        r.message = last_error.isEmpty() ? QStringLiteral("ERROR") : last_error;
        r.exit = 1;
        if (!last_error.startsWith(QLatin1String("Hardware checksum")))
            r.cause = probe_cause(dev_, device.path, true);
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

void report(const UpdateOptions &o, const QString &name, const Outcome &r)
{
    if (o.json) {
        QJsonObject e;
        e.insert(QStringLiteral("event"), QStringLiteral("result"));
        e.insert(QStringLiteral("device"), name.isEmpty() ? QJsonValue() : QJsonValue(name));
        e.insert(QStringLiteral("result"), r.result);
        e.insert(QStringLiteral("message"), r.message);
        if (!r.cause.isEmpty())
            e.insert(QStringLiteral("cause"), r.cause);
        e.insert(QStringLiteral("exit"), r.exit);
        out_json(e);
        return;
    }
    // The completion text went out as the worker said it.
    if (r.result == QLatin1String("updated"))
        return;
    const QString prefix = name.isEmpty() ? QString() : name + QStringLiteral(": ");
    err_line(prefix + r.message);
    if (!r.cause.isEmpty())
        err_line(prefix + r.cause);
}

} // namespace

int run_update(const UpdateOptions &o)
{
    if (!divert_trace(o.log)) {
        err_line(QStringLiteral("qel-fwtool: cannot open the log %1").arg(QString::fromStdString(o.log)));
        return 64;
    }
    companion_stop();

    Updater updater(o);
    Outcome bad;
    if (!updater.load_image(&bad)) {
        report(o, QString(), bad);
        return bad.exit;
    }

    std::vector<DeviceEntry> devices;
    list_devices(&devices);
    std::vector<DeviceEntry> chosen;
    if (!o.device.empty()) {
        for (const DeviceEntry &d : devices)
            if (d.name == o.device)
                chosen.push_back(d);
    } else if (o.all || devices.size() == 1) {
        chosen = devices;
    } else if (devices.size() > 1) {
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
            for (const DeviceEntry &d : devices)
                err_line(QStringLiteral("  ") + q(d.name));
        }
        return 64;
    }
    if (chosen.empty()) {
        Outcome none;
        none.result = QStringLiteral("no-device");
        none.message = QStringLiteral("Supported hardware is not connected.");
        none.cause = o.device.empty()
                         ? QStringLiteral("No Qel device is present.")
                         : QStringLiteral("No device is named %1.").arg(QString::fromStdString(o.device));
        none.exit = 3;
        report(o, QString::fromStdString(o.device), none);
        return 3;
    }

    int updated = 0, refused = 0, failed = 0, last_exit = 0;
    for (const DeviceEntry &d : chosen) {
        if (o.all && !o.json)
            out_line(QStringLiteral("== %1").arg(q(d.name)));
        const Outcome r = updater.update(d);
        report(o, q(d.name), r);
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

int run_devices(bool json, const std::string &log)
{
    if (!divert_trace(log)) {
        err_line(QStringLiteral("qel-fwtool: cannot open the log %1").arg(QString::fromStdString(log)));
        return 64;
    }
    std::vector<DeviceEntry> devices;
    list_devices(&devices);
    int shown = 0;
    for (const DeviceEntry &d : devices) {
        UsDevice dev;
        FirmwareIdentity id;
        const bool known = dev.open_path(d.path.data()) && dev.get_product(id.product)
                           && dev.get_version(&id.version) && dev.get_build(&id.build);
        ++shown;
        if (json) {
            QJsonObject o;
            o.insert(QStringLiteral("name"), q(d.name));
            o.insert(QStringLiteral("product"), known ? QJsonValue(q(id.product)) : QJsonValue());
            o.insert(QStringLiteral("version"), known ? QJsonValue(version_text(id.version)) : QJsonValue());
            o.insert(QStringLiteral("version_number"), known ? QJsonValue(int(id.version)) : QJsonValue());
            o.insert(QStringLiteral("build"), known ? QJsonValue(int(id.build)) : QJsonValue());
            out_json(o);
        } else if (known) {
            out_line(QStringLiteral("%1  %2  %3  build %4")
                         .arg(q(d.name), q(id.product), version_text(id.version))
                         .arg(id.build));
        } else {
            out_line(QStringLiteral("%1  (does not answer)").arg(q(d.name)));
        }
    }
    if (shown == 0) {
        if (!json)
            err_line(QStringLiteral("No Qel device is present."));
        return 3;
    }
    return 0;
}

} // namespace fwtool
