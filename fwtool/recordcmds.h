// qel-fwtool's look at its records: the history of update attempts, and the
// diagnostic report to send when an update went wrong.
#ifndef FWTOOL_RECORDCMDS_H
#define FWTOOL_RECORDCMDS_H

#include <string>

namespace fwtool {

// The history as a table, times in the local time zone; with json the
// records as they are kept, one a line. 0.
int run_history(bool json);

// Writes the report to output, or to qel-report-TIME.json in the current
// folder when it is empty, and prints the file's absolute path. 0, or 1 when
// it cannot be written.
int run_report(const std::string &output, bool json);

} // namespace fwtool

#endif
