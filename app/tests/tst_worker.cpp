#include <cstring>
#include <memory>

#include <QPointer>
#include <QThread>
#include <QtTest>

#include "devicetarget.h"
#include "fwupdateworker.h"
#include "mainwindow.h"
#include "testimages.h"
#include "virtualclock.h"

namespace {

const QString kPreparing = QStringLiteral("text:Preparing...");
const QString kSending = QStringLiteral("text:Sending and Updating...");
const QString kChecking = QStringLiteral("text:Checking...");
const QString kCompleted = QStringLiteral("text:Completed.\n\nPlease turn the device's power on again.");
const QString kFinished = QStringLiteral("finished");
const QStringList kSuccess{kPreparing, kSending, kChecking, kCompleted, kFinished};
const QStringList kThreeMisses{
    kPreparing, kSending, kChecking, QStringLiteral("text:Retrying... 1/2"), kChecking,
    QStringLiteral("text:Retrying... 2/2"), kChecking,
    QStringLiteral("error:Hardware checksum is not equal to firmware.\n\n"
                   "Please contact the technical support."),
    kFinished};

QStringList failure(const char *text)
{
    return {kPreparing, QStringLiteral("error:") + text, kFinished};
}

// Every signal of a worker, in the order the receiver saw them.
class SignalLog : public QObject {
public:
    QStringList events;

    void watch(FWUpdateWorker *worker, Qt::ConnectionType type = Qt::AutoConnection)
    {
        connect(worker, &FWUpdateWorker::process_text, this,
                [this](const QString &t) { events << QStringLiteral("text:") + t; }, type);
        connect(worker, &FWUpdateWorker::error, this,
                [this](const QString &t) { events << QStringLiteral("error:") + t; }, type);
        connect(worker, &FWUpdateWorker::finished, this, [this] { events << kFinished; }, type);
    }
};

} // namespace

class WorkerTest : public QObject {
    Q_OBJECT

private:
    VirtualClock clock;
    std::unique_ptr<qel::Device> device;
    std::unique_ptr<DeviceTarget> target;
    std::unique_ptr<testchannel::Attached> attached;
    std::unique_ptr<UsDevice> dev;
    std::unique_ptr<FWImage> image;
    FWUpdateJob job{};
    QByteArray bytes;

    // The device (with faults), the device object opened on it, and a small
    // image held as the window holds it when an update starts.
    void connect_device(const QStringList &faults = {})
    {
        qel::DeviceConfig cfg;
        cfg.clock_us = [] { return VirtualClock::now_ms() * 1000; };
        for (const QString &f : faults)
            QVERIFY(qel::parse_fault(f.toStdString(), cfg, nullptr));
        device.reset(new qel::Device(cfg));
        target.reset(new DeviceTarget(*device));
        attached.reset(new testchannel::Attached(*target));
        dev.reset(new UsDevice);
        QVERIFY(dev->is_open());

        bytes = sound_image("Qel", 103, 1, 2000);
        image.reset(new FWImage);
        prepare_job(&job, image.get(), dev.get(), bytes);
        VirtualClock::reset();
        testchannel::reset_counters();
    }

    QStringList run()
    {
        FWUpdateWorker worker;
        worker.job = &job;
        SignalLog log;
        log.watch(&worker);
        worker.process();
        return log.events;
    }

private slots:
    void cleanup()
    {
        dev.reset();
        attached.reset();
        target.reset();
        device.reset();
    }

    void process_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QList<qint64>>("checksums");   // answers played first; -1: the read fails
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<int>("transfers");
        QTest::addColumn<int>("pauses");                // waits of one second

        const QList<qint64> noisy{0, 0, 0, -1, 99999, -1, 99999, -1, 99999, -1, 99999, -1, 99999};

        QTest::newRow("exact match") << QStringList() << QList<qint64>() << kSuccess << 1 << 2;
        QTest::newRow("steady spread of 256") << QStringList() << QList<qint64>{1000, 1256, 1100}
                                              << kSuccess << 1 << 2;
        QTest::newRow("steady spread of 257") << QStringList() << QList<qint64>{1000, 1257, 1100}
                                              << failure("Hardware checksum is not valid.") << 0 << 0;
        QTest::newRow("a first reading of 0 is no reading") << QStringList()
                                                            << QList<qint64>{0, 900, 900}
                                                            << kSuccess << 1 << 2;
        QTest::newRow("a 0 reading between others is no reading")
            << QStringList() << QList<qint64>{1000, 0, 1300}
            << failure("Hardware checksum is not valid.") << 0 << 0;
        QTest::newRow("steadiness read fails") << QStringList() << QList<qint64>{1000, -1}
                                               << failure("Cannot Get Hardware Checksum") << 0 << 0;
        QTest::newRow("no steadiness answer") << QStringList{"never=40"} << QList<qint64>()
                                              << failure("Cannot Get Hardware Checksum") << 0 << 0;
        QTest::newRow("15 above") << QStringList{"checksum-off=15"} << QList<qint64>() << kSuccess
                                  << 1 << 2;
        QTest::newRow("15 below") << QStringList{"checksum-off=-15"} << QList<qint64>() << kSuccess
                                  << 1 << 2;
        QTest::newRow("16 above") << QStringList{"checksum-off=16"} << QList<qint64>()
                                  << kThreeMisses << 3 << 33;
        QTest::newRow("16 below") << QStringList{"checksum-off=-16"} << QList<qint64>()
                                  << kThreeMisses << 3 << 33;
        // Failed reads and wrong readings alike use up polls; the tenth still counts.
        QTest::newRow("match at the tenth poll") << QStringList() << noisy.mid(0, 12) << kSuccess
                                                 << 1 << 11;
        QTest::newRow("match after a retry")
            << QStringList() << noisy
            << QStringList{kPreparing, kSending, kChecking, QStringLiteral("text:Retrying... 1/2"),
                           kChecking, kCompleted, kFinished}
            << 2 << 13;
        QTest::newRow("transfer fails") << QStringList{"no-room"} << QList<qint64>()
                                        << QStringList{kPreparing, kSending,
                                                       QStringLiteral("error:Firmware Update Failed"),
                                                       kFinished}
                                        << 1 << 1;
    }

    void process()
    {
        QFETCH(QStringList, faults);
        QFETCH(QList<qint64>, checksums);
        QFETCH(QStringList, events);
        QFETCH(int, transfers);
        QFETCH(int, pauses);

        connect_device(faults);
        for (qint64 c : checksums)
            target->checksums.push_back(c < 0 ? std::nullopt : std::optional<uint32_t>(uint32_t(c)));

        QCOMPARE(run(), events);
        QCOMPARE(messages_with_tag(*device, 33), transfers);
        QCOMPARE(VirtualClock::sleeps_of(1000), uint64_t(pauses));

        // The steadiness readings cover the whole image, the verification
        // only the part the header's checksum covers.
        const std::vector<uint32_t> lengths = checksum_request_lengths(*device);
        for (size_t i = 0; i < lengths.size(); ++i)
            QCOMPARE(lengths[i], uint32_t(i < 3 ? bytes.size() : bytes.size() - 36));

        if (events.contains(kCompleted)) {
            QCOMPARE(job.pos.load(), uint32_t(bytes.size()));
            QVERIFY(device->installed() == std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
    }

    // The header declares the image's end; whatever a file holds past it was
    // never judged by the checksum test and must not reach the device.
    void bytesPastTheDeclaredEndStayBehind()
    {
        connect_device();
        const QByteArray tail(500, char(0x5A));
        std::memcpy(image->data + bytes.size(), tail.constData(), size_t(tail.size()));
        image->size = bytes.size() + tail.size();
        job.total = image->size;

        QCOMPARE(run(), kSuccess);
        QVERIFY(device->installed() == std::vector<uint8_t>(bytes.begin(), bytes.end()));
        QCOMPARE(job.pos.load(), uint32_t(bytes.size()));
        const std::vector<uint32_t> lengths = checksum_request_lengths(*device);
        QVERIFY(lengths.size() >= 3);
        for (size_t i = 0; i < 3; ++i)
            QCOMPARE(lengths[i], uint32_t(bytes.size()));
    }

    // A header that declares more than the buffer holds (the window's test
    // refuses such an image; the worker must not read past the buffer either).
    void declaredEndBeyondTheImage()
    {
        connect_device();
        image->size = bytes.size() - 1;
        QCOMPARE(run(), (QStringList{QStringLiteral("error:ERROR"), kFinished}));
        QCOMPARE(testchannel::counters().writes + testchannel::counters().reads, 0u);
    }

    void nothingToUpdate_data()
    {
        QTest::addColumn<bool>("withDevice");
        QTest::addColumn<int>("size");
        QTest::newRow("no device in the record") << false << 100;
        QTest::newRow("image of length 0") << true << 0;
    }

    void nothingToUpdate()
    {
        QFETCH(bool, withDevice);
        QFETCH(int, size);

        connect_device();
        if (!withDevice)
            image->device = nullptr;
        image->size = size;
        job.pos = 7;

        QCOMPARE(run(), (QStringList{QStringLiteral("error:ERROR"), kFinished}));
        QCOMPARE(testchannel::counters().writes + testchannel::counters().reads, 0u);
        QCOMPARE(job.pos.load(), 7u);
    }

    // As the window runs it: on a thread of its own, signals queued to this
    // thread, worker and thread deleting themselves once it is over.
    void onItsOwnThread()
    {
        connect_device();
        auto *thread = new QThread;
        auto *worker = new FWUpdateWorker;
        worker->job = &job;
        QPointer<QThread> thread_alive(thread);
        QPointer<FWUpdateWorker> worker_alive(worker);
        SignalLog log;
        log.watch(worker);
        worker->moveToThread(thread);
        connect(thread, &QThread::started, worker, &FWUpdateWorker::process);
        connect(worker, &FWUpdateWorker::finished, thread, &QThread::quit);
        connect(worker, &FWUpdateWorker::finished, worker, &QObject::deleteLater);
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        thread->start();

        QTRY_VERIFY_WITH_TIMEOUT(!thread_alive, 30000);
        QVERIFY(!worker_alive);
        QCOMPARE(log.events, kSuccess);
        QCOMPARE(job.pos.load(), uint32_t(bytes.size()));
    }
};

QTEST_GUILESS_MAIN(WorkerTest)
#include "tst_worker.moc"
