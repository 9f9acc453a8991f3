#include <atomic>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QLabel>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include "devicetarget.h"
#include "dialoghandlers.h"
#include "mainwindow.h"
#include "modalwatcher.h"
#include "sleepblock.h"
#include "testimages.h"
#include "virtualclock.h"

namespace {

const QString kCompleted = QStringLiteral("Completed.\n\nPlease turn the device's power on again.");
const QString kNotBlocked = QStringLiteral("Sleep is not blocked during the update");
const QString kAppName = QStringLiteral("QelSleepTest");
// Set in the copy of this program that runs without any bus.
const char kWithoutBusMark[] = "QEL_SLEEPBLOCK_WITHOUT_BUS";
const uint8_t kTagStart = 33;
const uint8_t kTagBlock = 37;
const uint8_t kTagChecksumRequest = 39;

// Whether anyone still holds the lock: the read end of its pipe reports a
// hang-up once the last copy of the write end has been closed.
bool lock_held(int read_fd)
{
    pollfd p{read_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// The login manager's side of the inhibitor lock. Each lock it grants is the
// write end of a pipe of its own; it keeps the read end for the test and no
// copy of the write end. It lives on a thread of its own, so that it answers
// whichever thread of the test is waiting for it.
class FakeLoginManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    enum Answer { Grant, Refuse, Silent };
    std::atomic<int> answer{Grant};

    ~FakeLoginManager() override { forget(); }

    QList<QStringList> calls() const
    {
        QMutexLocker lock(&mutex_);
        return calls_;
    }

    QVector<int> locks() const
    {
        QMutexLocker lock(&mutex_);
        return locks_;
    }

    void forget()
    {
        QMutexLocker lock(&mutex_);
        for (int fd : locks_)
            ::close(fd);
        locks_.clear();
        calls_.clear();
        answer = Grant;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode)
    {
        QMutexLocker lock(&mutex_);
        calls_ << QStringList{what, who, why, mode};
        if (answer == Refuse) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Not allowed in this test"));
            return {};
        }
        if (answer == Silent) {
            setDelayedReply(true);   // and never sent
            return {};
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("no pipe"));
            return {};
        }
        locks_ << fds[0];
        const QDBusUnixFileDescriptor granted(fds[1]);   // a copy of its own
        ::close(fds[1]);
        return granted;
    }

private:
    mutable QMutex mutex_;
    QList<QStringList> calls_;
    QVector<int> locks_;
};

// The debug lines written, from any thread, while it lives.
class DebugLines {
public:
    DebugLines()
    {
        current_ = this;
        previous_ = qInstallMessageHandler(&DebugLines::handle);
    }
    ~DebugLines()
    {
        qInstallMessageHandler(previous_);
        current_ = nullptr;
    }

    QStringList lines() const
    {
        QMutexLocker lock(&mutex_);
        return lines_;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == QtDebugMsg) {
            QMutexLocker lock(&current_->mutex_);
            current_->lines_ << text;
        }
        if (current_->previous_)
            current_->previous_(type, context, text);
    }

    static inline DebugLines *current_ = nullptr;
    QtMessageHandler previous_;
    mutable QMutex mutex_;
    QStringList lines_;
};

} // namespace

class SleepBlockTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    // The private system bus: dbus-daemon under a shell that stops it when
    // its input closes, so that it goes with this program however it ends.
    QProcess bus;
    QThread fake_thread;
    FakeLoginManager *fake = nullptr;

    VirtualClock clock;
    std::unique_ptr<qel::Device> device;
    std::unique_ptr<DeviceTarget> target;
    std::unique_ptr<testchannel::Attached> attached;
    std::unique_ptr<MainWindow> window;

    static bool without_bus() { return qEnvironmentVariableIsSet(kWithoutBusMark); }

    void start_bus(const QString &daemon)
    {
        const QString config = write_file(
            dir.path(), QStringLiteral("system.conf"),
            "<busconfig><type>system</type><listen>unix:path=" + dir.path().toUtf8()
                + "/system_bus_socket</listen><auth>EXTERNAL</auth>"
                  "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                  "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        bus.start(QStringLiteral("/bin/sh"),
                  {QStringLiteral("-c"),
                   QStringLiteral("\"$0\" --config-file=\"$1\" --print-address --nofork & "
                                  "read -r _; kill $!"),
                   daemon, config});
        QVERIFY(bus.waitForStarted());
        while (!bus.canReadLine())
            QVERIFY2(bus.waitForReadyRead(10000), bus.readAllStandardError().constData());
        const QByteArray address = bus.readLine().trimmed();
        QVERIFY(address.startsWith("unix:"));
        // Read by the first use of the system bus in this process, which is
        // still to come.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);

        QDBusConnection connection = QDBusConnection::connectToBus(QString::fromUtf8(address),
                                                                   QStringLiteral("fake"));
        QVERIFY2(connection.isConnected(), qPrintable(connection.lastError().message()));
        fake = new FakeLoginManager;
        fake->moveToThread(&fake_thread);
        fake_thread.start();
        QVERIFY(connection.registerObject(QStringLiteral("/org/freedesktop/login1"), fake,
                                          QDBusConnection::ExportAllSlots));
        QVERIFY(connection.registerService(QStringLiteral("org.freedesktop.login1")));
    }

    void connect_device(const QStringList &faults)
    {
        qel::DeviceConfig cfg;
        cfg.clock_us = [] { return VirtualClock::now_ms() * 1000; };
        cfg.product = "Qel";
        cfg.version = 101;
        cfg.build = 31;
        cfg.identity_from_image = false;
        for (const QString &f : faults)
            QVERIFY(qel::parse_fault(f.toStdString(), cfg, nullptr));
        device.reset(new qel::Device(cfg));
        target.reset(new DeviceTarget(*device));
        attached.reset(new testchannel::Attached(*target));
    }

    QPushButton *button() const
    {
        return window->findChild<QPushButton *>(QStringLiteral("button_fwupdate"));
    }

    QString label() const { return window->findChild<QLabel *>(QStringLiteral("label"))->text(); }

    bool idle() const
    {
        return button()->isEnabled() && button()->text() == QStringLiteral("Firmware Update");
    }

    // A window on the device, its update confirmed.
    void start_update()
    {
        window.reset(new MainWindow);
        Box question;
        ModalWatcher watcher({confirm(&question)});
        button()->click();
        QCOMPARE(watcher.seen(), 1);
        QCOMPARE(question.title, QStringLiteral("Firmware Update"));
        QVERIFY(!idle());
    }

    // Without the lock the update runs to its end as it always has; that it
    // had to go without is said once.
    void update_goes_ahead_without_lock()
    {
        DebugLines debug;
        connect_device({});
        start_update();
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        QCOMPARE(label(), kCompleted);
        const QByteArray embedded = embedded_bytes();
        QVERIFY(device->installed() == std::vector<uint8_t>(embedded.begin(), embedded.end()));
        const QStringList lines = debug.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith(kNotBlocked), qPrintable(lines[0]));
    }

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        QCoreApplication::setApplicationName(kAppName);
        QVERIFY(dir.isValid());
        if (without_bus())
            return;
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            QSKIP("dbus-daemon is not installed; the sleep block cannot be tested");
        start_bus(daemon);
    }

    void cleanupTestCase()
    {
        if (fake) {
            QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
            fake_thread.quit();
            fake_thread.wait();
            delete fake;
        }
        if (bus.state() != QProcess::NotRunning) {
            bus.closeWriteChannel();
            QVERIFY(bus.waitForFinished(10000));
        }
    }

    void cleanup()
    {
        if (target)
            target->release();
        window.reset();
        attached.reset();
        target.reset();
        device.reset();
        if (fake)
            fake->forget();
    }

    // Held from the worker's first step on, through the transfer, until the
    // worker's end, however it ends.
    void heldForTheWholeUpdate_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QList<qint64>>("checksums");   // answers played first; -1: the read fails
        QTest::addColumn<int>("holdTag");
        QTest::addColumn<int>("holdAt");
        QTest::addColumn<QString>("text");

        const QList<qint64> none;
        QTest::newRow("completed") << QStringList() << none << int(kTagBlock) << 200 << kCompleted;
        QTest::newRow("transfer fails") << QStringList{"no-room"} << none << int(kTagStart) << 1
                                        << "Firmware Update Failed";
        QTest::newRow("checksum never matches")
            << QStringList{"checksum-off=16"} << none << int(kTagBlock) << 200
            << "Hardware checksum is not equal to firmware.\n\nPlease contact the technical support.";
        // The window asks for the checksum once before the question; the
        // worker's second reading fails.
        QTest::newRow("device not steady") << QStringList() << QList<qint64>{1000, 1000, -1}
                                           << int(kTagChecksumRequest) << 2
                                           << "Cannot Get Hardware Checksum";
    }

    void heldForTheWholeUpdate()
    {
        QFETCH(QStringList, faults);
        QFETCH(QList<qint64>, checksums);
        QFETCH(int, holdTag);
        QFETCH(int, holdAt);
        QFETCH(QString, text);

        connect_device(faults);
        for (qint64 c : checksums)
            target->checksums.push_back(c < 0 ? std::nullopt : std::optional<uint32_t>(uint32_t(c)));
        target->hold_at(uint8_t(holdTag), holdAt);
        start_update();
        QTRY_VERIFY(target->held());

        QCOMPARE(fake->calls(), (QList<QStringList>{{"sleep:idle:shutdown", kAppName,
                                                      "Installing firmware on the device",
                                                      "block"}}));
        QCOMPARE(fake->locks().size(), 1);
        const int lock = fake->locks().first();
        QVERIFY(lock_held(lock));

        target->release();
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 20000);
        QCOMPARE(label(), text);
        QTRY_VERIFY(!lock_held(lock));
        QCOMPARE(fake->calls().size(), 1);
    }

    // The window, going while the update runs, waits for the worker; the
    // lock goes with the worker.
    void releasedWhenTheWindowGoes()
    {
        connect_device({});
        target->hold_at(kTagStart, 1);
        start_update();
        QTRY_VERIFY(target->held());
        QCOMPARE(fake->locks().size(), 1);
        const int lock = fake->locks().first();
        QVERIFY(lock_held(lock));

        // Let go once the window's teardown is under way: it is the first to
        // run this thread's events again.
        QTimer::singleShot(0, this, [this] { target->release(); });
        window.reset();
        QVERIFY(device->updated());
        QTRY_VERIFY(!lock_held(lock));
    }

    // Made and dropped on this thread, which the login manager's answer has
    // to reach while it waits.
    void heldAsLongAsTheObject()
    {
        int lock = -1;
        {
            const SleepBlock block;
            QVERIFY(block.held());
            QCOMPARE(fake->calls().size(), 1);
            QCOMPARE(fake->locks().size(), 1);
            lock = fake->locks().first();
            QVERIFY(lock_held(lock));
        }
        QTRY_VERIFY(!lock_held(lock));
    }

    void refusedByTheLoginManager()
    {
        fake->answer = FakeLoginManager::Refuse;
        update_goes_ahead_without_lock();
        QCOMPARE(fake->calls().size(), 1);
        QVERIFY(fake->locks().isEmpty());
    }

    // A login manager that takes the request and never answers holds the
    // update up for a few seconds at most.
    void loginManagerNeverAnswers()
    {
        fake->answer = FakeLoginManager::Silent;
        update_goes_ahead_without_lock();
        QCOMPARE(fake->calls().size(), 1);
    }

    // No bus at all. The process keeps its first answer about the system bus
    // for good, so this runs in a copy of the program that never had one.
    void withoutBus()
    {
        if (without_bus()) {
            update_goes_ahead_without_lock();
            return;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + dir.path() + QStringLiteral("/no_bus_socket"));
        env.insert(QString::fromLatin1(kWithoutBusMark), QStringLiteral("1"));
        QProcess copy;
        copy.setProcessEnvironment(env);
        copy.setProcessChannelMode(QProcess::MergedChannels);
        copy.start(QCoreApplication::applicationFilePath(), {QStringLiteral("withoutBus")});
        QVERIFY(copy.waitForFinished(60000));
        const QByteArray output = copy.readAll();
        QVERIFY2(copy.exitStatus() == QProcess::NormalExit && copy.exitCode() == 0,
                 output.constData());
        QVERIFY2(output.contains("PASS   : SleepBlockTest::withoutBus()"), output.constData());
    }
};

QTEST_MAIN(SleepBlockTest)
#include "tst_sleepblock.moc"
