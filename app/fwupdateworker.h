// Carries out one confirmed firmware update on a thread of its own and
// reports to the window through its signals.
#ifndef APP_FWUPDATEWORKER_H
#define APP_FWUPDATEWORKER_H

#include <functional>

#include <QObject>
#include <QString>

#include "uscause.h"

struct FWUpdateJob;

// The steps of an update, as whoever drives it sees them.
enum class UpdatePhase {
    Preparing,   // the device's checksum is read before anything is written
    Sending,     // the image goes out; attempt 1 to 3
    Checking,    // the installed firmware's checksum is compared; attempt 1 to 3
};

class FWUpdateWorker : public QObject {
    Q_OBJECT

public:
    explicit FWUpdateWorker(QObject *parent = nullptr);
    ~FWUpdateWorker() override;

    FWUpdateJob *job = nullptr;   // the window's; set before the thread starts, never owned

    // Called on the worker's thread as each phase begins, before its first
    // request, so that a caller can act before the first byte leaves.
    std::function<void(UpdatePhase phase, int attempt)> on_phase;

    // How the last process() ended, set before finished() is emitted: whether
    // the image was installed, and otherwise why not.
    bool completed = false;
    us_cause cause = US_CAUSE_NONE;

signals:
    void finished();
    void process_text(QString text);
    void error(QString err);

public slots:
    void process();
};

#endif
