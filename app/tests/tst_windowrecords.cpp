// What the window keeps of each update attempt on a device: one history line
// whatever the outcome, and the attempt's trace; and that a state folder that
// cannot be written changes nothing about the update itself.
#include <memory>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "devicetarget.h"
#include "dialoghandlers.h"
#include "mainwindow.h"
#include "statefolder.h"
#include "modalwatcher.h"
#include "testimages.h"
#include "virtualclock.h"

namespace {

QList<QJsonObject> json_lines(const QString &path)
{
    QList<QJsonObject> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (!line.isEmpty())
            out << QJsonDocument::fromJson(line).object();
    return out;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    VirtualClock clock;
    QTemporaryDir dir;
    std::unique_ptr<qel::Device> device;
    std::unique_ptr<DeviceTarget> target;
    std::unique_ptr<testchannel::Attached> attached;
    std::unique_ptr<MainWindow> window;

    // state/qel-updater, or state/QelUpdater on Windows.
    QString folder() const { return records::StateFolder().path(); }

    void connect_device(int version, const QStringList &faults = QStringList())
    {
        qel::DeviceConfig cfg;
        cfg.clock_us = [] { return VirtualClock::now_ms() * 1000; };
        cfg.product = "Qel";
        cfg.version = uint16_t(version);
        cfg.build = 31;
        cfg.identity_from_image = false;
        for (const QString &f : faults)
            QVERIFY(qel::parse_fault(f.toStdString(), cfg, nullptr));
        device.reset(new qel::Device(cfg));
        target.reset(new DeviceTarget(*device));
        attached.reset(new testchannel::Attached(*target));
#ifdef Q_OS_WIN
        // The update lock lives in the user's own local application data,
        // whatever LOCALAPPDATA says: a device of this test's own keeps the
        // window tests that run beside it from holding the same lock.
        QVERIFY(testchannel::set_path("\\\\?\\ROOT#QEL#WINDOWRECORDS#{0}\\qel"));
#endif
    }

    bool idle() const { return window->update_state == 0 && window->ui->button_fwupdate->isEnabled(); }

    // Presses the button and answers what comes up: OK or Cancel in the
    // question, OK in a refusal.
    void press(bool confirm_it)
    {
        Box box;
        ModalWatcher watcher({confirm_it ? confirm(&box) : record_box(&box)});
        window->ui->button_fwupdate->click();
        QTRY_VERIFY_WITH_TIMEOUT(idle(), 60000);
    }

private slots:
    void init()
    {
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path() + QStringLiteral("/state")));
        qputenv("LOCALAPPDATA",
                QFile::encodeName(QDir::toNativeSeparators(dir.path() + QStringLiteral("/state"))));
        QDir(dir.path() + QStringLiteral("/state")).removeRecursively();
    }

    void cleanup()
    {
        window.reset();
#ifdef Q_OS_WIN
        testchannel::set_path(std::string());
#endif
        attached.reset();
        target.reset();
        device.reset();
    }

    void oneLinePerAttempt_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("confirmIt");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("text");

        QTest::newRow("updated") << 101 << QStringList() << true << "updated" << QString()
                                 << "Completed.\n\nPlease turn the device's power on again.";
        QTest::newRow("refused") << 102 << QStringList() << false << "refused" << QString()
                                 << "Cannot downgrade from 1.02 to 1.02";
        QTest::newRow("declined") << 101 << QStringList() << false << "declined" << QString()
                                  << "Declined.";
        QTest::newRow("failed") << 101 << QStringList{ "vanish=4096" } << true << "failed" << "gone"
                                << "Firmware Update Failed";
    }

    void oneLinePerAttempt()
    {
        QFETCH(int, version);
        QFETCH(QStringList, faults);
        QFETCH(bool, confirmIt);
        QFETCH(QString, result);
        QFETCH(QString, cause);
        QFETCH(QString, text);

        connect_device(version, faults);
        window.reset(new MainWindow);
        // A cancelled question and a refusal both come as one box: its
        // Cancel or OK is what the watcher's rejection presses.
        press(confirmIt);

        const QList<QJsonObject> history = json_lines(folder() + QStringLiteral("/history.jsonl"));
        QCOMPARE(history.size(), 1);
        const QJsonObject h = history[0];
        QCOMPARE(h.value("program").toString(), QStringLiteral("QelUpdater"));
        QCOMPARE(h.value("device").toString(), QStringLiteral("in-process"));
        QCOMPARE(h.value("product").toString(), QStringLiteral("Qel"));
        QCOMPARE(h.value("from").toObject().value("version").toString(),
                 QString::asprintf("%d.%02d", version / 100, version % 100));
        QCOMPARE(h.value("to").toObject().value("image").toString(), QStringLiteral("embedded"));
        QCOMPARE(h.value("result").toString(), result);
        QCOMPARE(h.value("cause").toString(), cause);
        QCOMPARE(h.value("text").toString(), text);

        // Its trace holds what passed the channel during the attempt.
        const QString trace = h.value("trace").toString();
        QVERIFY(!trace.isEmpty());
        const QList<QJsonObject> records = json_lines(folder() + QStringLiteral("/traces/") + trace);
        QVERIFY(records.size() > 1);
        QCOMPARE(records[0].value("program").toString(), QStringLiteral("QelUpdater"));
        int requests = 0;
        for (const QJsonObject &r : records)
            requests += r.contains("request") ? 1 : 0;
        QVERIFY2(requests > (result == "updated" ? 4000 : 0), qPrintable(QString::number(requests)));
    }

    // The state folder's place taken by a file: nothing can be recorded,
    // and the update installs as it would have.
    void unwritableStateFolderLeavesTheUpdateAlone()
    {
        QVERIFY(QDir().mkpath(dir.path() + QStringLiteral("/state")));
        QFile blocker(folder());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        connect_device(101);
        window.reset(new MainWindow);
        press(true);
        QCOMPARE(device->version(), uint16_t(102));
        const QByteArray image = embedded_bytes();
        QVERIFY(device->installed() == std::vector<uint8_t>(image.begin(), image.end()));
        QVERIFY(QFileInfo(folder()).isFile());
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_windowrecords.moc"
