// Progress of a transfer on stderr: on a terminal (a console on Windows) one
// line redrawn in place
// (bar, percentage, bytes, rate, time left), otherwise a line each time the
// percentage grows; with --json a progress event per percent on stdout.
#ifndef FWTOOL_PROGRESS_H
#define FWTOOL_PROGRESS_H

#include <cstddef>
#include <cstdint>

#include <QElapsedTimer>

namespace fwtool {

class Progress {
public:
    Progress(bool json, bool terminal);

    void show(uint32_t sent, uint32_t total);
    // Takes the redrawn line off the terminal before other output.
    void clear();

private:
    bool json_;
    bool terminal_;
    bool drawn_ = false;
    size_t drawn_width_ = 0;   // characters of the line drawn last
    int last_percent_ = -1;
    uint32_t last_sent_ = 0;
    QElapsedTimer clock_;
};

} // namespace fwtool

#endif
