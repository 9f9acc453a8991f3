#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "tracefolder.h"

class TraceFolderTest : public QObject {
    Q_OBJECT

private:
    static void touch(const QString &path)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }

    // The names of traces started a second apart from a fixed time, oldest first.
    static QStringList names(int count, const QString &device = QStringLiteral("desk"))
    {
        const QDateTime start(QDate(2026, 12, 10), QTime(21, 30, 0, 123), Qt::UTC);
        QStringList out;
        for (int i = 0; i < count; ++i)
            out << records::trace_file_name(start.addSecs(i * 3599), device);
        return out;
    }

private slots:
    void name_data()
    {
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("expected");

        const QDateTime utc(QDate(2026, 12, 10), QTime(21, 30, 0, 123), Qt::UTC);
        QTest::newRow("plain") << utc << "desk" << "20261210-213000.123-desk.jsonl";
        QTest::newRow("kept characters") << utc << "Qel_2.rack-A" << "20261210-213000.123-Qel_2.rack-A.jsonl";
        QTest::newRow("path") << utc << "/run/qel/devices/desk 1"
                              << "20261210-213000.123-_run_qel_devices_desk_1.jsonl";
        QTest::newRow("instance id") << utc << "USB\\VID_1234&PID_0001\\5&2B"
                                     << "20261210-213000.123-USB_VID_1234_PID_0001_5_2B.jsonl";
        QTest::newRow("not ASCII") << utc << QString::fromUtf8("B\xc3\xbcro") << "20261210-213000.123-B_ro.jsonl";
        QTest::newRow("empty") << utc << "" << "20261210-213000.123-device.jsonl";
        QTest::newRow("very long") << utc << QString(300, QLatin1Char('x'))
                                   << "20261210-213000.123-" + QString(80, QLatin1Char('x')) + ".jsonl";
        QTest::newRow("zero milliseconds") << QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5), Qt::UTC)
                                           << "d" << "20270102-030405.000-d.jsonl";
        QTest::newRow("other time zone") << QDateTime(QDate(2026, 12, 10), QTime(23, 30, 0, 5),
                                                      Qt::OffsetFromUTC, 7200)
                                         << "d" << "20261210-213000.005-d.jsonl";
    }

    void name()
    {
        QFETCH(QDateTime, start);
        QFETCH(QString, device);
        QFETCH(QString, expected);
        QCOMPARE(records::trace_file_name(start, device), expected);
    }

    // Sorted by name is sorted by time, across days and months too.
    void newestByName()
    {
        QTemporaryDir dir;
        const QStringList all = names(30);
        for (const QString &n : all)
            touch(dir.filePath(n));
        QStringList newest = all.mid(27);
        std::reverse(newest.begin(), newest.end());
        QCOMPARE(records::newest_traces(dir.path(), 3), newest);
        QCOMPARE(records::newest_traces(dir.path(), 100).size(), 30);
        QCOMPARE(records::newest_traces(dir.path(), 0), QStringList());
        QCOMPARE(records::newest_traces(dir.path() + QStringLiteral("/missing"), 5), QStringList());
    }

    void keepsTheNewestTwenty_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("fewer") << 3;
        QTest::newRow("exactly twenty") << 20;
        QTest::newRow("one more") << 21;
        QTest::newRow("many more") << 45;
    }

    void keepsTheNewestTwenty()
    {
        QFETCH(int, count);
        QTemporaryDir dir;
        const QStringList all = names(count);
        for (const QString &n : all)
            touch(dir.filePath(n));
        // What is not a trace stays, whatever its name.
        touch(dir.filePath(QStringLiteral("notes.txt")));
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("00000000-000000.000-folder.jsonl")));

        records::keep_newest_traces(dir.path());

        QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                                                      QDir::Name);
        QStringList expected = all.mid(qMax(0, count - records::kTracesKept));
        expected << QStringLiteral("00000000-000000.000-folder.jsonl") << QStringLiteral("notes.txt");
        expected.sort();
        QCOMPARE(left, expected);
    }
};

QTEST_GUILESS_MAIN(TraceFolderTest)
#include "tst_tracefolder.moc"
