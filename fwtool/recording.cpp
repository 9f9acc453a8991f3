#include "recording.h"

#include "output.h"
#include "usrecorder.h"

namespace fwtool {

SessionRecording::~SessionRecording()
{
    if (file_ && !us_trace_stop(file_))
        err_line(QStringLiteral("qel-fwtool: the trace %1 could not be written whole")
                     .arg(shown(path_)));
}

bool SessionRecording::start(const std::string &path)
{
    if (path.empty())
        return true;
    std::string error;
    file_ = us_trace_start(path.c_str(), "qel-fwtool", QEL_VERSION, &error);
    if (!file_) {
        err_line(QStringLiteral("qel-fwtool: %1").arg(shown(error)));
        return false;
    }
    path_ = path;
    return true;
}

} // namespace fwtool
