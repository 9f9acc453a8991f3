#include "sleepblock.h"

#include <QtDebug>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#endif

#ifdef Q_OS_WIN

// The request belongs to the calling thread and ends with it, so it is made
// and withdrawn on the update's own thread.
SleepBlock::SleepBlock()
{
    held_ = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
    if (!held_)
        qDebug("Sleep is not blocked during the update: error %lu", GetLastError());
}

SleepBlock::~SleepBlock()
{
    if (held_)
        SetThreadExecutionState(ES_CONTINUOUS);
}

#else

namespace {

// A bus that accepts the call and never answers must not hold the update up
// for longer than this.
const int kInhibitTimeoutMs = 3000;

} // namespace

SleepBlock::SleepBlock()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qDebug("Sleep is not blocked during the update: no system bus (%s)",
               qPrintable(bus.lastError().message()));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle:shutdown") << QCoreApplication::applicationName()
         << QStringLiteral("Installing firmware on the device") << QStringLiteral("block");
    const QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(call, QDBus::Block, kInhibitTimeoutMs);
    if (!reply.isValid() || !reply.value().isValid()) {
        qDebug("Sleep is not blocked during the update: %s",
               qPrintable(reply.isValid() ? QStringLiteral("no lock was handed out")
                                          : reply.error().message()));
        return;
    }
    // The reply's descriptor closes with the reply; a copy keeps the lock.
    // Close-on-exec, so that no program started meanwhile keeps it past the
    // update.
    lock_fd_ = fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    held_ = lock_fd_ >= 0;
    if (!held_)
        qDebug("Sleep is not blocked during the update: the lock cannot be kept");
}

SleepBlock::~SleepBlock()
{
    if (lock_fd_ >= 0)
        ::close(lock_fd_);
}

#endif
