// One update attempt as the updater keeps it: a trace of everything that
// passed the device channel, in the state folder's traces/, and one line in
// its history once the attempt has ended. Both the window and qel-fwtool
// record their attempts through it; whatever cannot be recorded is said once
// per process and never stops the update.
#ifndef RECORDS_UPDATERECORD_H
#define RECORDS_UPDATERECORD_H

#include <QElapsedTimer>
#include <QDateTime>
#include <QString>

#include "history.h"
#include "statefolder.h"

struct us_trace_file;

namespace records {

class UpdateRecord {
public:
    // Starts an update attempt on device (its name as the device list gives
    // it): notes the start time and starts a trace file in traces/. When the
    // state folder or the trace cannot be written the attempt goes on
    // unrecorded there.
    UpdateRecord(const QString &program, const QString &program_version, const QString &device);
    // Not finished: the trace is stopped, no history is written.
    ~UpdateRecord();
    UpdateRecord(const UpdateRecord &) = delete;
    UpdateRecord &operator=(const UpdateRecord &) = delete;

    // A sentence to show the user, once per process: of all the attempts a
    // program makes, only the first that cannot be recorded says so. Asked
    // after the constructor and again after finish().
    QString warning() const { return warning_; }
    // The trace's file name, without its folder; empty when there is none.
    QString trace_name() const { return trace_name_; }

    void set_product(const QString &product);
    void set_from(unsigned version, unsigned build);
    // image: the image file's path, or "embedded".
    void set_to(unsigned version, unsigned build, const QString &image);

    // Stops the trace, keeps the newest traces and appends the history line.
    // result: "updated", "refused", "declined", "failed" or "busy"; cause an
    // us_cause (US_CAUSE_NONE: none); text what the user was shown. Once only.
    void finish(const QString &result, int cause, const QString &text);

private:
    void warn(const QString &text);
    void stop_trace();

    StateFolder folder_;
    bool folder_ready_ = false;
    us_trace_file *trace_ = nullptr;
    QString trace_name_;
    QString warning_;
    HistoryRecord record_;
    QElapsedTimer elapsed_;
    bool finished_ = false;
};

} // namespace records

#endif
