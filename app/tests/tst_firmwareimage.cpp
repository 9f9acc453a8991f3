// A firmware image file as both updaters take it: only a regular file or a
// resource is read, never more than the buffer holds and never with a wait
// on a pipe or a device; then the checksum test's verdict, named by its cause
// and by the test's own failure number.
#include <cstdio>
#include <string>
#include <vector>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

#include "firmwareimage.h"
#include "fwimage.h"
#include "testimages.h"
#include "ustrace.h"

namespace {

enum Kind { Bytes, Missing, Directory, Fifo, Device, Resource, Sparse };

// Causes compared by name, so that a failure says which.
QByteArray name(us_cause cause)
{
    return QByteArray(us_cause_name(cause));
}

ImageRecipe with_body(uint32_t length)
{
    ImageRecipe recipe;
    for (uint32_t i = 0; i < length; ++i)
        recipe.body.push_back(uint8_t(i * 5 + 1));
    return recipe;
}

} // namespace

Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(us_cause)

class FirmwareImageTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    int files = 0;

    // A path of the kind asked for: bytes are written, Sparse makes a file
    // of length bytes that are never written.
    QString make(Kind kind, const QByteArray &bytes, qint64 length)
    {
        const QString path = dir.filePath(QStringLiteral("image%1.bin").arg(++files));
        switch (kind) {
        case Bytes:
            return write_file(dir.path(), QFileInfo(path).fileName(), bytes);
        case Missing:
            return path;
        case Directory:
            return QDir(dir.path()).mkdir(QFileInfo(path).fileName()) ? path : QString();
        case Fifo:
#ifdef Q_OS_WIN
            return QString();
#else
            return mkfifo(QFile::encodeName(path).constData(), 0600) == 0 ? path : QString();
#endif
        case Device:
#ifdef Q_OS_WIN
            return QString();
#else
            return QStringLiteral("/dev/zero");
#endif
        case Resource:
            return QStringLiteral(":/res/update.bin");
        case Sparse: {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.resize(length) ? path : QString();
        }
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        // The checksum test's diagnostics are the device layer's tests' part.
        us_set_trace(us_trace_discard);
    }

    void readsWholeRegularFilesThatFit_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("length");    // Bytes: the file's length
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("why");   // how the reason starts
        QTest::addColumn<us_cause>("cause");

        const QString none;
        QTest::newRow("exactly the capacity") << Bytes << 64 << true << none << US_CAUSE_NONE;
        QTest::newRow("smaller") << Bytes << 40 << true << none << US_CAUSE_NONE;
        QTest::newRow("empty") << Bytes << 0 << true << none << US_CAUSE_NONE;
        QTest::newRow("one byte too many")
            << Bytes << 65 << false << QStringLiteral("larger than an image can be (64 bytes)")
            << US_CAUSE_IMAGE_TOO_LARGE;
        QTest::newRow("missing") << Missing << 0 << false << QStringLiteral("cannot be read")
                                 << US_CAUSE_IMAGE_UNREADABLE;
        QTest::newRow("directory") << Directory << 0 << false << QStringLiteral("not a regular file")
                                   << US_CAUSE_IMAGE_NOT_REGULAR;
        QTest::newRow("named pipe without writer")
            << Fifo << 0 << false << QStringLiteral("not a regular file") << US_CAUSE_IMAGE_NOT_REGULAR;
        QTest::newRow("endless device") << Device << 0 << false << QStringLiteral("not a regular file")
                                        << US_CAUSE_IMAGE_NOT_REGULAR;
        // The embedded image is 268320 bytes, far beyond this buffer.
        QTest::newRow("resource too large")
            << Resource << 0 << false << QStringLiteral("larger than an image can be")
            << US_CAUSE_IMAGE_TOO_LARGE;
    }

    void readsWholeRegularFilesThatFit()
    {
        QFETCH(Kind, kind);
        QFETCH(int, length);
        QFETCH(bool, loads);
        QFETCH(QString, why);
        QFETCH(us_cause, cause);

        const int capacity = 64;
        QByteArray content;
        for (int i = 0; i < length; ++i)
            content.append(char(i * 7 + 1));
        const QString path = make(kind, content, length);
        if (path.isEmpty())
            QSKIP("no such file on this system");

        std::vector<uint8_t> buffer(capacity + 8, 0xEE);
        FirmwareImage image;
        QCOMPARE(image.load(path, buffer.data(), capacity), loads);
        QCOMPARE(image.loaded(), loads);
        if (loads) {
            QCOMPARE(image.length(), length);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(buffer.data()), length), content);
            QVERIFY(image.load_error().isEmpty());
        } else {
            QCOMPARE(image.length(), 0);
            QVERIFY2(image.load_error().startsWith(why), qPrintable(image.load_error()));
            QCOMPARE(name(image.cause()), name(cause));
            // The test never saw it.
            QCOMPARE(image.failure(), 0);
        }
        // Nothing past the capacity is ever written.
        for (int i = capacity; i < int(buffer.size()); ++i)
            QCOMPARE(int(buffer[size_t(i)]), 0xEE);
    }

    void resourcesAreReadThroughQt()
    {
        std::vector<uint8_t> buffer(FW_IMAGE_CAPACITY);
        FirmwareImage image;
        QVERIFY2(image.load(QStringLiteral(":/res/update.bin"), buffer.data(), int(buffer.size())),
                 qPrintable(image.load_error()));
        const QByteArray expected = embedded_bytes();
        QCOMPARE(image.length(), expected.size());
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(buffer.data()), image.length()), expected);
        QVERIFY(image.sound());

        QVERIFY(!image.load(QStringLiteral(":/res/none.bin"), buffer.data(), int(buffer.size())));
        QVERIFY(image.load_error().startsWith(QLatin1String("cannot be read")));
        QCOMPARE(name(image.cause()), name(US_CAUSE_IMAGE_UNREADABLE));
        QVERIFY(!image.has_header());
    }

    // Every way an image file is not sound, each with the cause and the
    // checksum test's own failure number; into the updaters' buffer and by
    // inspect() alike.
    void verdict_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("length");   // Sparse: the file's length
        QTest::addColumn<bool>("loads");
        QTest::addColumn<bool>("header");
        QTest::addColumn<us_cause>("cause");
        QTest::addColumn<int>("failure");

        const QByteArray none;
        const QByteArray sound = image_of(with_body(1000));
        ImageRecipe r;

        QTest::newRow("sound") << Bytes << sound << 0LL << true << true << US_CAUSE_NONE << 0;
        QTest::newRow("sound, bytes past its size")
            << Bytes << sound + QByteArray(9, 'x') << 0LL << true << true << US_CAUSE_NONE << 0;
        QTest::newRow("empty file") << Bytes << QByteArray("") << 0LL << true << false
                                    << US_CAUSE_IMAGE_TOO_SHORT << 167;
        QTest::newRow("20-byte file") << Bytes << sound.left(20) << 0LL << true << false
                                      << US_CAUSE_IMAGE_TOO_SHORT << 167;
        r = with_body(10);
        r.declared_size = 0;
        QTest::newRow("declared size 0")
            << Bytes << image_of(r) << 0LL << true << true << US_CAUSE_IMAGE_NO_SIZE << 157;
        QTest::newRow("truncated") << Bytes << sound.left(sound.size() - 1) << 0LL << true << true
                                   << US_CAUSE_IMAGE_TRUNCATED << 161;
        r = ImageRecipe{};
        r.declared_size = 35;
        QTest::newRow("35-byte image") << Bytes << image_of(r).left(35) << 0LL << true << true
                                       << US_CAUSE_IMAGE_TOO_SHORT << 167;
        r = with_body(100);
        r.header_checksum = mkimage_sum(r.body) + 1;
        QTest::newRow("sum mismatch")
            << Bytes << image_of(r) << 0LL << true << true << US_CAUSE_IMAGE_CHECKSUM << 191;
        r = with_body(100);
        r.trailer = mkimage_sum(r.body) ^ 0x100;
        QTest::newRow("trailer mismatch")
            << Bytes << image_of(r) << 0LL << true << true << US_CAUSE_IMAGE_CHECKSUM << 199;
        QTest::newRow("missing") << Missing << none << 0LL << false << false
                                 << US_CAUSE_IMAGE_UNREADABLE << 0;
        QTest::newRow("directory") << Directory << none << 0LL << false << false
                                   << US_CAUSE_IMAGE_NOT_REGULAR << 0;
        QTest::newRow("named pipe") << Fifo << none << 0LL << false << false
                                    << US_CAUSE_IMAGE_NOT_REGULAR << 0;
        // As much as an updater holds is read; its zero header declares no size.
        QTest::newRow("largest file") << Sparse << none << qint64(FW_IMAGE_CAPACITY) << true << true
                                      << US_CAUSE_IMAGE_NO_SIZE << 157;
        QTest::newRow("too large") << Sparse << none << qint64(FW_IMAGE_CAPACITY) + 1 << false
                                   << false << US_CAUSE_IMAGE_TOO_LARGE << 0;
    }

    void verdict()
    {
        QFETCH(Kind, kind);
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, length);
        QFETCH(bool, loads);
        QFETCH(bool, header);
        QFETCH(us_cause, cause);
        QFETCH(int, failure);

        const QString path = make(kind, bytes, length);
        if (path.isEmpty())
            QSKIP("no such file on this system");
        std::vector<uint8_t> buffer(FW_IMAGE_CAPACITY);
        FirmwareImage loaded, inspected;
        QCOMPARE(loaded.load(path, buffer.data(), int(buffer.size())), loads);
        QCOMPARE(inspected.inspect(QFile::encodeName(path).toStdString()), loads);
        for (const FirmwareImage *image : { &loaded, &inspected }) {
            QCOMPARE(name(image->cause()), name(cause));
            QCOMPARE(image->failure(), failure);
            QCOMPARE(image->sound(), cause == US_CAUSE_NONE);
            QCOMPARE(image->has_header(), header);
            QCOMPARE(image->load_error().isEmpty(), loads);
        }
    }

    void headerFields()
    {
        ImageRecipe r = with_body(100);
        r.product = "ABCDEFGH";   // all eight bytes, no NUL after them
        r.version = 0x0203;
        r.build = 45;
        r.year = 2019;
        r.month = 12;
        r.day = 31;
        const QString path = write_file(dir.path(), QStringLiteral("fields.bin"), image_of(r));
        std::vector<uint8_t> buffer(FW_IMAGE_CAPACITY);
        FirmwareImage image;
        QVERIFY(image.load(path, buffer.data(), int(buffer.size())));
        QVERIFY(image.sound());
        std::string product = "was";
        QVERIFY(image.product(&product));
        QCOMPARE(QByteArray::fromStdString(product), QByteArray("ABCDEFGH"));
        QCOMPARE(int(image.version()), 0x0203);
        QCOMPARE(int(image.build()), 45);
        QCOMPARE(int(image.year()), 2019);
        QCOMPARE(int(image.month()), 12);
        QCOMPARE(int(image.day()), 31);
        QCOMPARE(image.checksum(), mkimage_sum(r.body));
        QCOMPARE(image.declared_size(), uint32_t(32 + 100 + 4));
        QCOMPARE(image.check_size(), 100);

        // A file that is read again leaves nothing of the earlier one.
        QVERIFY(!image.load(dir.filePath(QStringLiteral("none.bin")), buffer.data(), int(buffer.size())));
        QVERIFY(!image.has_header());
        QCOMPARE(int(image.version()), 0);
        QCOMPARE(image.checksum(), 0u);
    }

#ifndef Q_OS_WIN
    // A name from the command line is taken byte for byte, UTF-8 or not.
    void inspectTakesNamesAsBytes()
    {
        const QByteArray name = QFile::encodeName(dir.path()) + "/odd-\xff\xfe.bin";
        const QByteArray image = sound_image("Qel", 102, 31);
        FILE *f = std::fopen(name.constData(), "wb");
        QVERIFY(f);
        QCOMPARE(std::fwrite(image.constData(), 1, size_t(image.size()), f), size_t(image.size()));
        QCOMPARE(std::fclose(f), 0);
        FirmwareImage inspected;
        const bool loaded = inspected.inspect(name.toStdString());
        // QTemporaryDir cannot remove a name it cannot decode.
        std::remove(name.constData());
        QVERIFY2(loaded, qPrintable(inspected.load_error()));
        QVERIFY(inspected.sound());
        QCOMPARE(inspected.length(), image.size());
    }
#endif
};

QTEST_GUILESS_MAIN(FirmwareImageTest)
#include "tst_firmwareimage.moc"
