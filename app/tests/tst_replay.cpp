// The recorded device sessions played back by qel-devsim --replay, against
// the real device channel, the update policy and the update session, as the
// window and qel-fwtool drive them: the updater must send exactly the bytes
// it sent when the trace was recorded and end the way it ended then. On the
// virtual clock, so that the waits of a busy device or of repeated
// verifications cost nothing.
#include <csignal>
#include <memory>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "fwimage.h"
#include "testimages.h"
#include "updatepolicy.h"
#include "updatesession.h"
#include "usdevice.h"
#include "virtualclock.h"

namespace {

const QString kTraces = QStringLiteral(QEL_TRACES_DIR);

QByteArray file_bytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int recorded_requests(const QString &trace)
{
    return file_bytes(trace).count("\"request\":");
}

} // namespace

class ReplayTest : public QObject {
    Q_OBJECT

private:
    VirtualClock clock;
    QTemporaryDir runtime;
    std::unique_ptr<QProcess> devsim;
    QByteArray devsim_out;

    // qel-devsim playing the trace, taking requests once this returns
    // without a failure.
    void start_replay(const QString &trace)
    {
        devsim.reset(new QProcess);
        devsim_out.clear();
        devsim->setProcessChannelMode(QProcess::MergedChannels);
        connect(devsim.get(), &QProcess::readyRead, this,
                [this] { devsim_out += devsim->readAll(); });
        devsim->start(QStringLiteral(QEL_DEVSIM_PATH),
                      { QStringLiteral("--replay"), trace, QStringLiteral("--instance"),
                        QStringLiteral("replayed") });
        QTRY_VERIFY_WITH_TIMEOUT(devsim_out.contains("\nready: "), 10000);
    }

    // Stops it; what it printed in all.
    QByteArray stop_replay()
    {
        ::kill(pid_t(devsim->processId()), SIGINT);
        if (!devsim->waitForFinished(10000))
            return QByteArray();
        devsim_out += devsim->readAll();
        return devsim_out;
    }

    // What the window and qel-fwtool do before an update: the device opened,
    // the image held, the device's identity read and judged.
    static UpdateDecision decide(UsDevice *dev, FWImage *fw, FWUpdateJob *job,
                                 const QByteArray &image)
    {
        prepare_job(job, fw, dev, image);
        FirmwareIdentity identity;
        dev->get_fw_product(identity.product);
        identity.version = dev->get_fw_version();
        identity.build = dev->get_fw_build();
        return decide_update(*dev, identity, UpdateChecks::All);
    }

    void run_session(FWUpdateJob *job, UpdateOutcome *outcome)
    {
        UpdateSession session;
        bool finished = false;
        connect(&session, &UpdateSession::finished, this, [&](const UpdateOutcome &o) {
            *outcome = o;
            finished = true;
        });
        QVERIFY(session.start(job));
        QTRY_VERIFY_WITH_TIMEOUT(finished, 120000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    }

    void cleanup()
    {
        if (devsim && devsim->state() != QProcess::NotRunning) {
            devsim->kill();
            devsim->waitForFinished();
        }
        devsim.reset();
    }

    void session_data()
    {
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("verdict");      // UpdateVerdict
        QTest::addColumn<bool>("installed");
        QTest::addColumn<int>("cause");        // us_cause of the outcome or the refusal
        QTest::addColumn<QString>("text");     // the session's last text

        const QByteArray small = file_bytes(kTraces + QStringLiteral("/small.prg"));
        const int proceed = int(UpdateVerdict::Proceed);
        QTest::newRow("whole update") << "whole-update" << embedded_bytes() << proceed << true
                                      << int(US_CAUSE_NONE) << "Completed.\n\nPlease turn the device's power on again.";
        QTest::newRow("verification fails three times")
            << "verify-fails" << small << proceed << false << int(US_CAUSE_MISMATCH)
            << "Hardware checksum is not equal to firmware.\n\nPlease contact the technical support.";
        QTest::newRow("device goes away") << "vanishes" << small << proceed << false
                                          << int(US_CAUSE_GONE) << "Firmware Update Failed";
        QTest::newRow("device stays busy") << "busy" << small << int(UpdateVerdict::NoDeviceProduct)
                                           << false << int(US_CAUSE_BUSY) << QString();
    }

    void session()
    {
        QFETCH(QString, trace);
        QFETCH(QByteArray, image);
        QFETCH(int, verdict);
        QFETCH(bool, installed);
        QFETCH(int, cause);
        QFETCH(QString, text);
        const QString path = kTraces + QLatin1Char('/') + trace + QStringLiteral(".jsonl");
        QVERIFY(!image.isEmpty());
        start_replay(path);
        if (QTest::currentTestFailed())
            return;

        UsDevice dev;
        auto fw = std::make_unique<FWImage>();
        FWUpdateJob job;
        const UpdateDecision decision = decide(&dev, fw.get(), &job, image);
        QCOMPARE(int(decision.verdict), verdict);
        if (decision.verdict == UpdateVerdict::Proceed) {
            UpdateOutcome outcome;
            run_session(&job, &outcome);
            QCOMPARE(outcome.installed, installed);
            QCOMPARE(us_cause_name(outcome.cause), us_cause_name(cause));
            QCOMPARE(outcome.text, text);
        } else {
            QCOMPARE(us_cause_name(dev.cause()), us_cause_name(cause));
        }

        const QByteArray said = stop_replay();
        const int n = recorded_requests(path);
        QVERIFY2(!said.contains("diverged:"), said.constData());
        QVERIFY2(said.contains(QStringLiteral("replayed: %1 of %1 requests").arg(n).toUtf8()),
                 said.constData());
    }

    // The image changed in its header's date: every request agrees until
    // the first block of the image, which the replay names; the update then
    // fails as against a device that refuses it.
    void anotherImageDivergesAtItsFirstBlock()
    {
        const QString path = kTraces + QStringLiteral("/whole-update.jsonl");
        start_replay(path);
        if (QTest::currentTestFailed())
            return;
        QByteArray image = embedded_bytes();
        image[15] = char(image[15] ^ 0x01);   // the day of the image's date

        UsDevice dev;
        auto fw = std::make_unique<FWImage>();
        FWUpdateJob job;
        QCOMPARE(decide(&dev, fw.get(), &job, image).verdict, UpdateVerdict::Proceed);
        UpdateOutcome outcome;
        run_session(&job, &outcome);
        QVERIFY(!outcome.installed);
        QCOMPARE(outcome.text, QStringLiteral("Firmware Update Failed"));

        // The first block is the first message of tag 37 in the trace.
        const QList<QByteArray> lines = file_bytes(path).split('\n');
        int request = 0, first_block = 0;
        for (const QByteArray &line : lines) {
            if (!line.contains("\"request\":"))
                continue;
            ++request;
            if (line.contains("\"out\":\"25")) {
                first_block = request;
                break;
            }
        }
        QVERIFY(first_block > 0);
        const QByteArray said = stop_replay();
        QCOMPARE(said.count("diverged:"), 1);
        QVERIFY2(said.contains(QStringLiteral("diverged: request %1: expected 29 out").arg(first_block).toUtf8()),
                 said.constData());
        QVERIFY2(said.contains(QStringLiteral("replayed: %1 of ").arg(first_block - 1).toUtf8()),
                 said.constData());
    }
};

QTEST_MAIN(ReplayTest)
#include "tst_replay.moc"
