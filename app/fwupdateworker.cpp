#include "fwupdateworker.h"

FWUpdateWorker::FWUpdateWorker(QObject *parent)
    : QObject(parent)
{
}

FWUpdateWorker::~FWUpdateWorker() = default;

void FWUpdateWorker::process()
{
    emit error(QStringLiteral("ERROR"));
    emit finished();
}
