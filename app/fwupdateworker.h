// Carries out one confirmed firmware update on a thread of its own and
// reports to the window through its signals.
#ifndef APP_FWUPDATEWORKER_H
#define APP_FWUPDATEWORKER_H

#include <QObject>
#include <QString>

struct FWUpdateJob;

class FWUpdateWorker : public QObject {
    Q_OBJECT

public:
    explicit FWUpdateWorker(QObject *parent = nullptr);
    ~FWUpdateWorker() override;

    FWUpdateJob *job = nullptr;   // the window's; set before the thread starts, never owned

signals:
    void finished();
    void process_text(QString text);
    void error(QString err);

public slots:
    void process();
};

#endif
