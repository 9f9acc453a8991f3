// The maker's settings panel holds the device open, so it is stopped before
// every update check. Where no such tool exists nothing is run.
#ifndef APP_COMPANION_H
#define APP_COMPANION_H

#include <QString>
#include <QStringList>

struct CompanionStop {
    QString program;      // empty: nothing to run on this platform
    QStringList arguments;
};

// The command that stops the settings panel on a platform with or without the
// Windows task tool; companion_stop_command() picks the running platform's.
CompanionStop companion_stop_command_for(bool windows);
CompanionStop companion_stop_command();

// Runs the command (if any) and waits for it to end; its result is of no
// interest, since the panel may well not be running.
void companion_stop();

#endif
