#include "updaterecord.h"

#include <atomic>
#include <string>

#include <QDir>
#include <QFile>

#include "uscause.h"
#include "usrecorder.h"
#include "tracefolder.h"

namespace records {

namespace {

// With --all one program makes an attempt per device; a folder it cannot
// write is the same folder every time, and worth saying once.
std::atomic<bool> g_warned{false};

} // namespace

UpdateRecord::UpdateRecord(const QString &program, const QString &program_version,
                           const QString &device)
{
    elapsed_.start();
    record_.time = QDateTime::currentDateTimeUtc();
    record_.program = program;
    record_.device = device;

    folder_ready_ = folder_.prepare();
    if (!folder_ready_) {
        warn(folder_.reason());
        return;
    }
    const QString traces = folder_.traces_path();
    const QString first = trace_file_name(record_.time, device);
    QString name = first;
    // Two attempts on one device within a millisecond would share a name;
    // the second must not empty the first's file.
    for (int n = 2; QFile::exists(traces + QLatin1Char('/') + name) && n < 100; ++n)
        name = first.chopped(6) + QStringLiteral("-%1.jsonl").arg(n);
    const QString path = QDir::toNativeSeparators(traces + QLatin1Char('/') + name);
    std::string error;
    trace_ = us_trace_start(path.toUtf8().constData(), program.toUtf8().constData(),
                            program_version.toUtf8().constData(), &error);
    if (!trace_) {
        warn(QStringLiteral("The update's trace is not recorded: %1")
                 .arg(QString::fromStdString(error)));
        return;
    }
    trace_name_ = name;
}

UpdateRecord::~UpdateRecord()
{
    stop_trace();
}

void UpdateRecord::warn(const QString &text)
{
    if (!g_warned.exchange(true))
        warning_ = text;
}

void UpdateRecord::stop_trace()
{
    if (!trace_)
        return;
    us_trace_stop(trace_);
    trace_ = nullptr;
    keep_newest_traces(folder_.traces_path());
}

void UpdateRecord::set_product(const QString &product)
{
    record_.product = product;
}

void UpdateRecord::set_from(unsigned version, unsigned build)
{
    record_.has_from = true;
    record_.from_version = version;
    record_.from_build = build;
}

void UpdateRecord::set_to(unsigned version, unsigned build, const QString &image)
{
    record_.has_to = true;
    record_.to_version = version;
    record_.to_build = build;
    record_.to_image = image;
}

void UpdateRecord::finish(const QString &result, int cause, const QString &text)
{
    if (finished_)
        return;
    finished_ = true;
    stop_trace();
    if (!folder_ready_)
        return;
    record_.result = result;
    record_.cause = cause == US_CAUSE_NONE ? QString() : QString::fromLatin1(us_cause_name(cause));
    record_.text = text;
    record_.seconds = double(elapsed_.nsecsElapsed()) / 1e9;
    // The trace's name only if it is still there for the history to point at.
    if (!trace_name_.isEmpty() && QFile::exists(folder_.traces_path() + QLatin1Char('/') + trace_name_))
        record_.trace = trace_name_;
    QString reason;
    if (!append_history(folder_.history_path(), record_, &reason))
        warn(QStringLiteral("Updates are not recorded: %1.").arg(reason));
}

} // namespace records
