#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "history.h"
#include "statefolder.h"

Q_DECLARE_METATYPE(records::HistoryRecord)

namespace {

records::HistoryRecord full_record()
{
    records::HistoryRecord r;
    r.time = QDateTime(QDate(2026, 12, 10), QTime(21, 30, 0, 123), Qt::UTC);
    r.program = QStringLiteral("qel-fwtool");
    r.device = QStringLiteral("desk");
    r.product = QStringLiteral("Qel");
    r.has_from = true;
    r.from_version = 101;
    r.from_build = 30;
    r.has_to = true;
    r.to_version = 102;
    r.to_build = 31;
    r.to_image = QStringLiteral("embedded");
    r.result = QStringLiteral("updated");
    r.text = QStringLiteral("Firmware update completed.");
    r.seconds = 41.2374;
    r.trace = QStringLiteral("20261210-213000.123-desk.jsonl");
    return r;
}

} // namespace

class HistoryTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir->path()));
        qputenv("LOCALAPPDATA", QFile::encodeName(QDir::toNativeSeparators(dir->path())));
    }

    void versionText_data()
    {
        QTest::addColumn<uint>("version");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0u << "0.00";
        QTest::newRow("5") << 5u << "0.05";
        QTest::newRow("102") << 102u << "1.02";
        QTest::newRow("1000") << 1000u << "10.00";
        QTest::newRow("65535") << 65535u << "655.35";
    }

    void versionText()
    {
        QFETCH(uint, version);
        QFETCH(QString, text);
        QCOMPARE(records::version_text(version), text);
    }

    // The fields in their order, on one line, whatever the texts hold.
    void line_data()
    {
        QTest::addColumn<records::HistoryRecord>("record");
        QTest::addColumn<QByteArray>("line");

        QTest::newRow("everything")
            << full_record()
            << QByteArray("{\"time\":\"2026-12-10T21:30:00.123Z\",\"program\":\"qel-fwtool\","
                          "\"device\":\"desk\",\"product\":\"Qel\","
                          "\"from\":{\"version\":\"1.01\",\"build\":30},"
                          "\"to\":{\"version\":\"1.02\",\"build\":31,\"image\":\"embedded\"},"
                          "\"result\":\"updated\",\"cause\":null,\"text\":\"Firmware update completed.\","
                          "\"seconds\":41.237,\"trace\":\"20261210-213000.123-desk.jsonl\"}\n");

        records::HistoryRecord bare;
        bare.time = QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5), Qt::OffsetFromUTC, 3600);
        bare.program = QStringLiteral("QelUpdater");
        bare.device = QStringLiteral("rack");
        bare.result = QStringLiteral("failed");
        bare.cause = QStringLiteral("no-device");
        bare.text = QStringLiteral("Supported hardware is not connected.");
        QTest::newRow("nothing known")
            << bare
            << QByteArray("{\"time\":\"2027-01-02T02:04:05.000Z\",\"program\":\"QelUpdater\","
                          "\"device\":\"rack\",\"product\":null,\"from\":null,\"to\":null,"
                          "\"result\":\"failed\",\"cause\":\"no-device\","
                          "\"text\":\"Supported hardware is not connected.\",\"seconds\":0.000,"
                          "\"trace\":null}\n");

        records::HistoryRecord odd = full_record();
        odd.device = QStringLiteral("a\"b\\c");
        odd.product = QString::fromUtf8("Q\xc3\xa9l\n2");
        odd.text = QStringLiteral("Cannot downgrade\r\nfrom 1.02\tto 1.01");
        odd.to_image = QStringLiteral("C:\\fw\\new.bin");
        odd.seconds = 0.0005;
        odd.has_from = false;
        QTest::newRow("quotes and line breaks")
            << odd
            << QByteArray("{\"time\":\"2026-12-10T21:30:00.123Z\",\"program\":\"qel-fwtool\","
                          "\"device\":\"a\\\"b\\\\c\",\"product\":\"Q\xc3\xa9l\\n2\",\"from\":null,"
                          "\"to\":{\"version\":\"1.02\",\"build\":31,\"image\":\"C:\\\\fw\\\\new.bin\"},"
                          "\"result\":\"updated\",\"cause\":null,"
                          "\"text\":\"Cannot downgrade\\r\\nfrom 1.02\\tto 1.01\",\"seconds\":0.001,"
                          "\"trace\":\"20261210-213000.123-desk.jsonl\"}\n");
    }

    void line()
    {
        QFETCH(records::HistoryRecord, record);
        QFETCH(QByteArray, line);
        const QByteArray got = records::history_line(record);
        QCOMPARE(got, line);
        QVERIFY(QJsonDocument::fromJson(got).isObject());
    }

    void roundTrip()
    {
        records::StateFolder folder;
        QVERIFY(folder.prepare());
        records::HistoryRecord second = full_record();
        second.device = QStringLiteral("rack");
        second.result = QStringLiteral("busy");
        second.has_to = false;
        for (const records::HistoryRecord &r : {full_record(), second}) {
            QString reason;
            QVERIFY2(records::append_history(folder.history_path(), r, &reason), qPrintable(reason));
        }
#ifndef Q_OS_WIN
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(folder.history_path()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
#endif
        const QVector<QJsonObject> read = records::read_json_lines(folder.history_path());
        QCOMPARE(read.size(), 2);
        QCOMPARE(read[0].value(QStringLiteral("time")).toString(), QStringLiteral("2026-12-10T21:30:00.123Z"));
        QCOMPARE(read[0].value(QStringLiteral("from")).toObject().value(QStringLiteral("build")).toInt(), 30);
        QCOMPARE(read[0].value(QStringLiteral("to")).toObject().value(QStringLiteral("image")).toString(),
                 QStringLiteral("embedded"));
        QCOMPARE(read[0].value(QStringLiteral("seconds")).toDouble(), 41.237);
        QVERIFY(read[0].value(QStringLiteral("cause")).isNull());
        QCOMPARE(read[1].value(QStringLiteral("device")).toString(), QStringLiteral("rack"));
        QCOMPARE(read[1].value(QStringLiteral("result")).toString(), QStringLiteral("busy"));
        QVERIFY(read[1].value(QStringLiteral("to")).isNull());
        QCOMPARE(read[1].keys().size(), 11);
    }

    // A line cut short by a crash, or anything else someone put there.
    void readingSkipsWhatIsNoObject()
    {
        const QString path = dir->filePath(QStringLiteral("mixed.jsonl"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"device\":\"a\"}\n"
                   "{\"device\":\"b\",\"tex\n"
                   "\n"
                   "[1,2]\n"
                   "\"text\"\n"
                   "garbage \x01\xff\xfe\n"
                   "{\"device\":\"c\"}\r\n"
                   "   \n"
                   "{\"device\":\"d\"}");
        file.close();
        QStringList devices;
        for (const QJsonObject &o : records::read_json_lines(path))
            devices << o.value(QStringLiteral("device")).toString();
        QCOMPARE(devices, (QStringList{"a", "c", "d"}));
        QVERIFY(records::read_json_lines(dir->filePath(QStringLiteral("none.jsonl"))).isEmpty());
        QVERIFY(records::read_json_lines(dir->path()).isEmpty());
#ifndef Q_OS_WIN
        // Nobody will ever write into it: reading must not wait for that.
        const QString fifo = dir->filePath(QStringLiteral("fifo.jsonl"));
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(records::read_json_lines(fifo).isEmpty());
#endif
    }

    // A file larger than anyone would send is read only so far, and said so.
    void readStopsAtItsLimit()
    {
        const QString path = dir->filePath(QStringLiteral("large.jsonl"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray line = "{\"pad\":\"" + QByteArray(1000, 'x') + "\"}\n";
        const qint64 lines = records::kReadLimit / line.size() + 10;
        for (qint64 i = 0; i < lines; ++i)
            file.write(line);
        file.close();
        bool cut = false;
        const QVector<QJsonObject> read = records::read_json_lines(path, &cut);
        QVERIFY(cut);
        QVERIFY(read.size() < lines);
        QVERIFY(read.size() >= records::kReadLimit / line.size() - 1);
        const QString small = dir->filePath(QStringLiteral("small.jsonl"));
        QFile few(small);
        QVERIFY(few.open(QIODevice::WriteOnly));
        few.write(line + line);
        few.close();
        cut = true;
        QCOMPARE(records::read_json_lines(small, &cut).size(), 2);
        QVERIFY(!cut);
    }

    // Two programs appending at once: each line whole, none lost.
    void twoProgramsAppendingAtOnce()
    {
#ifdef Q_OS_WIN
        // Wine carries out an append as a seek to the end and a write, so
        // two processes there can overwrite each other; Windows itself
        // appends each write whole.
        if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
            QSKIP("appends are not atomic between processes under wine");
#endif
        const int n = 300;
        QProcess a, b;
        a.start(QStringLiteral(RECORDS_APPENDER), {"history", QString::number(n), "a"});
        b.start(QStringLiteral(RECORDS_APPENDER), {"history", QString::number(n), "b"});
        for (QProcess *p : {&a, &b}) {
            QVERIFY(p->waitForFinished(60000));
            QCOMPARE(p->exitStatus(), QProcess::NormalExit);
            QCOMPARE(p->exitCode(), 0);
        }

        records::StateFolder folder;
        QFile file(folder.history_path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 2 * n + 1);
        QVERIFY(lines.last().isEmpty());
        int count_a = 0, count_b = 0;
        for (int i = 0; i < 2 * n; ++i) {
            const QJsonObject o = QJsonDocument::fromJson(lines[i]).object();
            const QString device = o.value(QStringLiteral("device")).toString();
            QVERIFY2(device == QLatin1String("a") || device == QLatin1String("b"),
                     qPrintable(QStringLiteral("line %1").arg(i + 1)));
            QVERIFY2(o.value(QStringLiteral("text")).toString() == QString(6000, device.at(0)),
                     qPrintable(QStringLiteral("line %1").arg(i + 1)));
            (device == QLatin1String("a") ? count_a : count_b)++;
        }
        QCOMPARE(count_a, n);
        QCOMPARE(count_b, n);
    }
};

QTEST_GUILESS_MAIN(HistoryTest)
#include "tst_history.moc"
