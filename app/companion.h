// The maker's settings panel holds the device open, so it is stopped before
// every update check. Where no such tool exists nothing is run.
#ifndef APP_COMPANION_H
#define APP_COMPANION_H

#include <QString>
#include <QStringList>

struct CompanionStop {
    QString program;      // empty: nothing to run
    QStringList arguments;
};

// The command that stops the settings panel. system_dir is the Windows system
// directory, empty when it cannot be had: the task tool is run only from
// there, never found by its bare name, since Windows would look in the
// program's own folder and the current one first and run whatever file of
// that name it finds. companion_stop_command() picks the running platform's.
CompanionStop companion_stop_command_for(bool windows, const QString &system_dir);
CompanionStop companion_stop_command();

// Runs the command (if any), its output dropped, and waits for it to end;
// its result is of no interest, since the panel may well not be running.
void companion_stop();

#endif
