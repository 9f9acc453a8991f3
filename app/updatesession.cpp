#include "updatesession.h"

UpdateSession::UpdateSession(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<UpdatePhase>("UpdatePhase");
    qRegisterMetaType<UpdateOutcome>("UpdateOutcome");
    thread_.setObjectName(QStringLiteral("update"));
}

UpdateSession::~UpdateSession()
{
    // The quit is taken only once a running process() has returned, so this
    // waits for the update without polling; the worker is idle after that.
    thread_.quit();
    thread_.wait();
    delete worker_;
}

bool UpdateSession::start(FWUpdateJob *job)
{
    if (running_)
        return false;
    if (!worker_) {
        worker_ = new FWUpdateWorker;
        worker_->moveToThread(&thread_);
        worker_->on_phase = [this](UpdatePhase p, int attempt) { emit phase(p, attempt); };
        // Queued to this object's thread, in the order the worker emits them.
        connect(worker_, &FWUpdateWorker::process_text, this, [this](const QString &t) {
            last_text_ = t;
            emit text(t);
        });
        connect(worker_, &FWUpdateWorker::error, this, [this](const QString &t) {
            last_text_ = t;
            emit error(t);
        });
        connect(worker_, &FWUpdateWorker::finished, this, [this] {
            // finished() is the worker's last act; what it set before is
            // visible here through the queued delivery.
            UpdateOutcome outcome;
            outcome.installed = worker_->completed;
            outcome.cause = worker_->cause;   // none once completed
            outcome.text = last_text_;
            running_ = false;
            emit finished(outcome);
        });
    }
    worker_->job = job;
    last_text_.clear();
    running_ = true;
    if (!thread_.isRunning())
        thread_.start();
    QMetaObject::invokeMethod(worker_, &FWUpdateWorker::process, Qt::QueuedConnection);
    return true;
}
