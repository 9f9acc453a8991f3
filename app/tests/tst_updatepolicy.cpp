// The decision before an update, against the emulated device: the tests run
// in the window's order and each check flag skips exactly its tests.
#include <memory>
#include <optional>

#include <QtTest>

#include "devicetarget.h"
#include "testimages.h"
#include "updatepolicy.h"
#include "usdevice.h"
#include "virtualclock.h"

Q_DECLARE_METATYPE(UpdateVerdict)
Q_DECLARE_METATYPE(UpdateChecks)

class UpdatePolicyTest : public QObject {
    Q_OBJECT

private:
    VirtualClock clock;

private slots:
    void decide_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("build");
        // The device's checksum reading: -1 the image's own, -2 a failed read.
        QTest::addColumn<int>("checksum");
        QTest::addColumn<UpdateChecks>("checks");
        QTest::addColumn<UpdateVerdict>("verdict");

        const auto all = UpdateChecks::All;
        const auto reinstall = UpdateChecks::SkipInstalled;
        const auto older = UpdateChecks::SkipVersionAndInstalled;
        // The image is Qel 1.02, build 31.
        QTest::newRow("older device") << "Qel" << 101 << 30 << 5 << all << UpdateVerdict::Proceed;
        QTest::newRow("case differs") << "qel" << 101 << 30 << 5 << all << UpdateVerdict::ProductMismatch;
        QTest::newRow("trailing blank") << "Qel " << 101 << 30 << 5 << older << UpdateVerdict::ProductMismatch;
        QTest::newRow("newer version, older build") << "Qel" << 103 << 30 << 5 << all << UpdateVerdict::Proceed;
        QTest::newRow("same") << "Qel" << 102 << 31 << 5 << all << UpdateVerdict::NotNewer;
        QTest::newRow("same, reinstall") << "Qel" << 102 << 31 << 5 << reinstall << UpdateVerdict::NotNewer;
        QTest::newRow("newer device, older allowed") << "Qel" << 110 << 40 << -1 << older << UpdateVerdict::Proceed;
        QTest::newRow("installed") << "Qel" << 101 << 30 << -1 << all << UpdateVerdict::AlreadyInstalled;
        QTest::newRow("installed, reinstall") << "Qel" << 101 << 30 << -1 << reinstall << UpdateVerdict::Proceed;
        QTest::newRow("checksum unreadable") << "Qel" << 101 << 30 << -2 << all << UpdateVerdict::NoDeviceChecksum;
        QTest::newRow("checksum unreadable, reinstall") << "Qel" << 101 << 30 << -2 << reinstall << UpdateVerdict::Proceed;
    }

    void decide()
    {
        QFETCH(QString, product);
        QFETCH(int, version);
        QFETCH(int, build);
        QFETCH(int, checksum);
        QFETCH(UpdateChecks, checks);
        QFETCH(UpdateVerdict, verdict);

        qel::DeviceConfig cfg;
        cfg.clock_us = [] { return VirtualClock::now_ms() * 1000; };
        cfg.identity_from_image = false;
        cfg.product = product.toStdString();
        cfg.version = uint16_t(version);
        cfg.build = uint16_t(build);
        qel::Device device(cfg);
        DeviceTarget target(device);
        testchannel::Attached attached(target);

        const QByteArray image = sound_image("Qel", 102, 31);
        UsDevice dev;
        QVERIFY(dev.is_open());
        dev.set_fw_image(image.constData());
        if (checksum == -1)
            target.checksums.push_back(dev.get_fw_checksum());
        else if (checksum == -2)
            target.checksums.push_back(std::nullopt);
        else
            target.checksums.push_back(dev.get_fw_checksum() + uint32_t(checksum));

        FirmwareIdentity fw;
        QVERIFY(dev.get_fw_product(fw.product));
        fw.version = dev.get_fw_version();
        fw.build = dev.get_fw_build();
        const UpdateDecision d = decide_update(dev, fw, checks);
        QCOMPARE(d.verdict, verdict);
        QCOMPARE(QString::fromStdString(d.device.product), product);
        QCOMPARE(int(d.device.version), version);
        QCOMPARE(int(d.device.build), build);
    }
};

QTEST_GUILESS_MAIN(UpdatePolicyTest)
#include "tst_updatepolicy.moc"
