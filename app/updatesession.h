// One firmware update as its starter sees it, for the window and the
// command-line updater alike: the worker on a thread of the session's own,
// and typed reports of what it does (phase, outcome with its cause) beside
// the texts the worker shows.
#ifndef APP_UPDATESESSION_H
#define APP_UPDATESESSION_H

#include <QObject>
#include <QString>
#include <QThread>

#include "fwupdateworker.h"
#include "uscause.h"

struct FWUpdateJob;

// How an update ended.
struct UpdateOutcome {
    bool installed = false;
    QString text;                    // what the worker showed last
    us_cause cause = US_CAUSE_NONE;  // why not installed
};
Q_DECLARE_METATYPE(UpdateOutcome)

class UpdateSession : public QObject {
    Q_OBJECT

public:
    explicit UpdateSession(QObject *parent = nullptr);
    // Waits for a running update to end: the job's records must outlive it.
    ~UpdateSession() override;

    UpdateSession(const UpdateSession &) = delete;
    UpdateSession &operator=(const UpdateSession &) = delete;

    // Starts the update of job (the starter's records, not owned) on the
    // session's thread; false, and nothing started, while one runs.
    bool start(FWUpdateJob *job);
    bool running() const { return running_; }

signals:
    // Emitted on the update's thread as each phase begins, before its first
    // request: a receiver connected with Qt::DirectConnection acts before
    // the device is asked anything further; others receive it queued.
    void phase(UpdatePhase phase, int attempt);
    // The worker's texts, in order: progress texts and its failure text.
    void text(const QString &text);
    void error(const QString &text);
    // The last report of an update, after its texts.
    void finished(const UpdateOutcome &outcome);

private:
    QThread thread_;
    FWUpdateWorker *worker_ = nullptr;   // lives on thread_
    bool running_ = false;
    QString last_text_;

    friend class MainWindowTest;
};

#endif
