// The folder the updater keeps its own records in: the history of update
// attempts and the newest attempts' traces. $XDG_STATE_HOME/qel-updater (or
// ~/.local/state/qel-updater) outside Windows, %LOCALAPPDATA%\QelUpdater on
// Windows. A folder that cannot be had only means nothing is recorded: no
// update waits on it or fails because of it.
#ifndef RECORDS_STATEFOLDER_H
#define RECORDS_STATEFOLDER_H

#include <QString>

namespace records {

class StateFolder {
public:
    // Names the folder from the environment; creates nothing.
    StateFolder();

    // Empty when the environment names no folder.
    QString path() const { return path_; }
    QString traces_path() const;
    QString history_path() const;

    // Creates the folder and its traces/ where missing, readable by the user
    // alone; existing ones are used as they are. False when either cannot be
    // created or written, with reason() saying why in one sentence.
    bool prepare();
    QString reason() const { return reason_; }

private:
    QString path_;
    QString reason_;
};

} // namespace records

#endif
