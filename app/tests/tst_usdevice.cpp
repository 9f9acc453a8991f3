#include <string>

#include <QTemporaryDir>
#include <QtTest>

#include "testimages.h"
#include "usdevice.h"

class UsDeviceTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    void headerFields_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("product");
        QTest::addColumn<uint>("version");
        QTest::addColumn<uint>("build");

        QTest::newRow("short product") << sound_image("Qel", 102, 31) << QByteArray("Qel") << 102u << 31u;
        QTest::newRow("eight-letter product") << sound_image("ABCDEFGH", 0x1234, 0xFEDC)
                                              << QByteArray("ABCDEFGH") << 0x1234u << 0xFEDCu;
    }

    void headerFields()
    {
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, product);
        QFETCH(uint, version);
        QFETCH(uint, build);

        UsDevice dev;
        QCOMPARE(dev.set_fw_image(image.constData()), 32u);
        std::string name = "was:";
        QVERIFY(dev.get_fw_product(name));
        QCOMPARE(QByteArray::fromStdString(name), "was:" + product);
        QCOMPARE(uint(dev.get_fw_version()), version);
        QCOMPARE(uint(dev.get_fw_build()), build);
        QCOMPARE(dev.get_fw_check_size(), image.size() - 36);
        const auto byte = [&](int i) { return uint32_t(uchar(image[i])); };
        QCOMPARE(dev.get_fw_checksum(), byte(16) << 24 | byte(17) << 16 | byte(18) << 8 | byte(19));

        // Without an image it only tells the header length and keeps the header.
        QCOMPARE(dev.set_fw_image(nullptr), 32u);
        QCOMPARE(uint(dev.get_fw_version()), version);
    }

    void checkFwImage_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("length");   // -1: the image's own
        QTest::addColumn<bool>("sound");

        const QByteArray good = sound_image("Qel", 102, 31);
        ImageRecipe bad;
        bad.body.assign(100, 1);
        bad.header_checksum = 7;
        QTest::newRow("sound") << good << -1 << true;
        QTest::newRow("sound, trailing bytes") << good + QByteArray(10, 'x') << -1 << true;
        QTest::newRow("one byte short") << good << good.size() - 1 << false;
        QTest::newRow("bad checksum") << image_of(bad) << -1 << false;
        QTest::newRow("negative length") << good << INT_MIN << false;
        QTest::newRow("no image") << QByteArray() << 0 << false;
    }

    void checkFwImage()
    {
        QFETCH(QByteArray, image);
        QFETCH(int, length);
        QFETCH(bool, sound);
        QCOMPARE(UsDevice::check_fw_image(image.isNull() ? nullptr : image.constData(),
                                          length == -1 ? image.size() : length),
                 sound);
    }

    void fwPath_data()
    {
        QTest::addColumn<QByteArray>("bytes");   // null: no such file
        QTest::addColumn<bool>("headerRead");
        QTest::addColumn<bool>("sound");

        ImageRecipe bad;
        bad.body.assign(100, 1);
        bad.build = 40;
        bad.trailer = 0;
        QTest::newRow("sound image") << sound_image("Qel", 105, 40) << true << true;
        QTest::newRow("bad checksum") << image_of(bad) << true << false;
        QTest::newRow("31 bytes") << sound_image("Qel", 105, 40).left(31) << false << false;
        QTest::newRow("no such file") << QByteArray() << false << false;
    }

    void fwPath()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, headerRead);
        QFETCH(bool, sound);

        const QString path = bytes.isNull() ? dir.path() + QStringLiteral("/missing")
                                            : write_file(dir.path(), QStringLiteral("fw.bin"), bytes);
        UsDevice dev;
        QVERIFY(!dev.check_fw_path());   // no path yet
        QCOMPARE(dev.set_fw_path(path.toStdString()), headerRead);
        QCOMPARE(dev.check_fw_path(), sound);
        if (headerRead)
            QCOMPARE(uint(dev.get_fw_build()), 40u);
    }
};

QTEST_GUILESS_MAIN(UsDeviceTest)
#include "tst_usdevice.moc"
