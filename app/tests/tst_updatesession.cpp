// The update session as its starters (the window, qel-fwtool) use it: typed
// phases in order, an outcome with its cause, the worker's texts unchanged,
// and a device that goes away ending the update at once.
#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include <QtTest>

#include "devicetarget.h"
#include "fwimage.h"
#include "testimages.h"
#include "updatesession.h"
#include "usdevice.h"
#include "virtualclock.h"

Q_DECLARE_METATYPE(us_cause)

namespace {

// Passes transfers on until told that the device has gone; from then on
// every transfer fails as a driver reports a device that left.
class Unplug : public ChannelTarget {
public:
    explicit Unplug(ChannelTarget &inner) : inner_(inner) {}
    std::atomic<bool> gone{false};
    std::atomic<int> after_gone{0};   // transfers asked for once gone

    int control_out(uint8_t r, uint16_t v, uint16_t i, const uint8_t *d, size_t n) override
    {
        if (gone) {
            ++after_gone;
            return ENODEV;
        }
        return inner_.control_out(r, v, i, d, n);
    }
    int control_in(uint8_t r, uint16_t v, uint16_t i, uint8_t *o, size_t n, size_t *s) override
    {
        if (gone) {
            ++after_gone;
            *s = 0;
            return ENODEV;
        }
        return inner_.control_in(r, v, i, o, n, s);
    }

private:
    ChannelTarget &inner_;
};

QString phase_name(UpdatePhase phase, int attempt)
{
    const char *name = phase == UpdatePhase::Preparing ? "preparing"
                       : phase == UpdatePhase::Sending ? "sending"
                                                       : "checking";
    return QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(attempt);
}

} // namespace

class UpdateSessionTest : public QObject {
    Q_OBJECT

private:
    VirtualClock clock;
    std::unique_ptr<qel::Device> device;
    std::unique_ptr<DeviceTarget> target;
    std::unique_ptr<Unplug> unplug;
    std::unique_ptr<testchannel::Attached> attached;
    std::unique_ptr<UsDevice> dev;
    std::unique_ptr<FWImage> image;
    FWUpdateJob job{};

    void connect_device(const QStringList &faults)
    {
        qel::DeviceConfig cfg;
        cfg.clock_us = [] { return VirtualClock::now_ms() * 1000; };
        for (const QString &f : faults)
            QVERIFY(qel::parse_fault(f.toStdString(), cfg, nullptr));
        device.reset(new qel::Device(cfg));
        target.reset(new DeviceTarget(*device));
        unplug.reset(new Unplug(*target));
        attached.reset(new testchannel::Attached(*unplug));
        dev.reset(new UsDevice);
        QVERIFY(dev->is_open());

        image.reset(new FWImage);
        prepare_job(&job, image.get(), dev.get(), sound_image("Qel", 103, 1, 3000));
        VirtualClock::reset();
    }

private slots:
    void cleanup()
    {
        dev.reset();
        attached.reset();
        unplug.reset();
        target.reset();
        device.reset();
    }

    void outcome_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QString>("unplug_at");   // the phase at whose start the device goes
        QTest::addColumn<QStringList>("phases");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<us_cause>("cause");

        const QString completed = QStringLiteral("Completed.\n\nPlease turn the device's power on again.");
        const QString failed = QStringLiteral("Firmware Update Failed");
        QTest::newRow("installed") << QStringList() << QString()
                                   << QStringList{"preparing 1", "sending 1", "checking 1"}
                                   << true << completed << US_CAUSE_NONE;
        QTest::newRow("no checksum answer") << QStringList{"never=40"} << QString()
                                            << QStringList{"preparing 1"} << false
                                            << QStringLiteral("Cannot Get Hardware Checksum")
                                            << US_CAUSE_REFUSED;
        QTest::newRow("busy from the start") << QStringList{"busy"} << QString()
                                             << QStringList{"preparing 1"} << false
                                             << QStringLiteral("Cannot Get Hardware Checksum")
                                             << US_CAUSE_BUSY;
        QTest::newRow("unsteady readings") << QStringList{"noise=5000"} << QString()
                                           << QStringList{"preparing 1"} << false
                                           << QStringLiteral("Hardware checksum is not valid.")
                                           << US_CAUSE_UNSTEADY;
        QTest::newRow("no room ever") << QStringList{"no-room"} << QString()
                                      << QStringList{"preparing 1", "sending 1"} << false << failed
                                      << US_CAUSE_BUSY;
        QTest::newRow("never the image's checksum")
            << QStringList{"checksum-off=1000"} << QString()
            << QStringList{"preparing 1", "sending 1", "checking 1", "sending 2", "checking 2",
                           "sending 3", "checking 3"}
            << false
            << QStringLiteral("Hardware checksum is not equal to firmware.\n\n"
                              "Please contact the technical support.")
            << US_CAUSE_MISMATCH;
        QTest::newRow("unplugged while sending") << QStringList() << QStringLiteral("sending 1")
                                                 << QStringList{"preparing 1", "sending 1"} << false
                                                 << failed << US_CAUSE_GONE;
        // Not retried: a device that has gone cannot be sent to again.
        QTest::newRow("unplugged while checking") << QStringList() << QStringLiteral("checking 1")
                                                  << QStringList{"preparing 1", "sending 1", "checking 1"}
                                                  << false << failed << US_CAUSE_GONE;
    }

    void outcome()
    {
        QFETCH(QStringList, faults);
        QFETCH(QString, unplug_at);
        QFETCH(QStringList, phases);
        QFETCH(bool, installed);
        QFETCH(QString, text);
        QFETCH(us_cause, cause);

        connect_device(faults);
        UpdateSession session;
        QStringList seen;
        std::atomic<uint64_t> unplugged_ms{0};
        // On the update's thread, before the phase's first request.
        connect(&session, &UpdateSession::phase, &session, [&](UpdatePhase p, int attempt) {
            if (phase_name(p, attempt) == unplug_at) {
                unplugged_ms = VirtualClock::now_ms();
                unplug->gone = true;
            }
        }, Qt::DirectConnection);
        connect(&session, &UpdateSession::phase, this,
                [&](UpdatePhase p, int attempt) { seen << phase_name(p, attempt); });
        QStringList texts;
        connect(&session, &UpdateSession::text, this, [&](const QString &t) { texts << t; });
        connect(&session, &UpdateSession::error, this, [&](const QString &t) { texts << t; });
        bool ended = false;
        UpdateOutcome result;
        connect(&session, &UpdateSession::finished, this, [&](const UpdateOutcome &o) {
            result = o;
            ended = true;
        });

        QVERIFY(session.start(&job));
        QVERIFY(session.running());
        QVERIFY(!session.start(&job));   // one update at a time
        QTRY_VERIFY_WITH_TIMEOUT(ended, 60000);

        QVERIFY(!session.running());
        QCOMPARE(seen, phases);
        QCOMPARE(result.installed, installed);
        QCOMPARE(result.text, text);
        QCOMPARE(texts.last(), text);
        QCOMPARE(result.cause, cause);
        if (!unplug_at.isEmpty()) {
            // One poll's pause at most, and the failed request itself.
            QVERIFY(VirtualClock::now_ms() - unplugged_ms <= 1000);
            QVERIFY(unplug->after_gone <= 1);
        }
    }

    // The session goes while an update runs: it waits for the update, which
    // installs the image, and nothing is used after it has gone.
    void destroyedWhileUpdating()
    {
        connect_device({});
        target->hold_at(37, 3);   // the third data block
        auto session = std::make_unique<UpdateSession>();
        QVERIFY(session->start(&job));
        QTRY_VERIFY(target->held());
        std::thread releaser([this] { target->release(); });
        session.reset();
        releaser.join();
        QVERIFY(device->updated());
    }

    // A second update through the same session, as a second click would.
    void secondUpdateReusesTheSession()
    {
        connect_device({});
        UpdateSession session;
        int finished = 0;
        connect(&session, &UpdateSession::finished, this, [&] { ++finished; });
        QVERIFY(session.start(&job));
        QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 60000);
        job.pos = 0;
        QVERIFY(session.start(&job));
        QTRY_COMPARE_WITH_TIMEOUT(finished, 2, 60000);
    }
};

QTEST_GUILESS_MAIN(UpdateSessionTest)
#include "tst_updatesession.moc"
