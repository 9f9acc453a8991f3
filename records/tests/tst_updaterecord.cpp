#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "history.h"
#include "statefolder.h"
#include "tracefolder.h"
#include "updaterecord.h"
#include "uscause.h"

class UpdateRecordTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

    void point_at(const QString &base)
    {
        qputenv("XDG_STATE_HOME", QFile::encodeName(base));
        qputenv("LOCALAPPDATA", QFile::encodeName(QDir::toNativeSeparators(base)));
    }

    static QVector<QJsonObject> history()
    {
        return records::read_json_lines(records::StateFolder().history_path());
    }

    static QStringList traces()
    {
        return QDir(records::StateFolder().traces_path()).entryList(QDir::Files, QDir::Name);
    }

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        point_at(dir->path());
    }

    void recordsTheAttempt_data()
    {
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("cause");
        QTest::addColumn<QJsonValue>("causeName");

        QTest::newRow("updated") << "updated" << int(US_CAUSE_NONE) << QJsonValue();
        QTest::newRow("failed, gone") << "failed" << int(US_CAUSE_GONE) << QJsonValue("gone");
        QTest::newRow("failed, time-out") << "failed" << int(US_CAUSE_TIMEOUT) << QJsonValue("timeout");
        QTest::newRow("busy") << "busy" << int(US_CAUSE_BUSY) << QJsonValue("busy");
        QTest::newRow("refused") << "refused" << int(US_CAUSE_NONE) << QJsonValue();
        QTest::newRow("cause out of range") << "failed" << 999 << QJsonValue("unknown");
    }

    void recordsTheAttempt()
    {
        QFETCH(QString, result);
        QFETCH(int, cause);
        QFETCH(QJsonValue, causeName);

        const QDateTime before = QDateTime::currentDateTimeUtc();
        QString name;
        {
            records::UpdateRecord attempt(QStringLiteral("qel-fwtool"), QStringLiteral("1.0.0"),
                                          QStringLiteral("/run/qel/desk"));
            QVERIFY(attempt.warning().isEmpty());
            name = attempt.trace_name();
            QVERIFY2(QRegularExpression(QStringLiteral("^\\d{8}-\\d{6}\\.\\d{3}-_run_qel_desk\\.jsonl$"))
                         .match(name).hasMatch(), qPrintable(name));
            attempt.set_product(QStringLiteral("Qel"));
            attempt.set_from(101, 30);
            attempt.set_to(102, 31, QStringLiteral("embedded"));
            attempt.finish(result, cause, QStringLiteral("What was shown."));
            QVERIFY(attempt.warning().isEmpty());
        }
        QCOMPARE(traces(), QStringList{name});
        // The trace file is the recorder's, begun with its header.
        QFile trace(records::StateFolder().traces_path() + QLatin1Char('/') + name);
        QVERIFY(trace.open(QIODevice::ReadOnly));
        const QJsonObject header = QJsonDocument::fromJson(trace.readLine()).object();
        QCOMPARE(header.value(QStringLiteral("format")).toString(), QStringLiteral("qel-trace"));
        QCOMPARE(header.value(QStringLiteral("program")).toString(), QStringLiteral("qel-fwtool"));

        const QVector<QJsonObject> lines = history();
        QCOMPARE(lines.size(), 1);
        const QJsonObject r = lines[0];
        const QDateTime time = QDateTime::fromString(r.value(QStringLiteral("time")).toString(),
                                                     Qt::ISODateWithMs);
        QVERIFY(time >= before.addMSecs(-1) && time <= QDateTime::currentDateTimeUtc());
        QCOMPARE(r.value(QStringLiteral("program")).toString(), QStringLiteral("qel-fwtool"));
        QCOMPARE(r.value(QStringLiteral("device")).toString(), QStringLiteral("/run/qel/desk"));
        QCOMPARE(r.value(QStringLiteral("product")).toString(), QStringLiteral("Qel"));
        QCOMPARE(r.value(QStringLiteral("from")).toObject(),
                 (QJsonObject{{"version", "1.01"}, {"build", 30}}));
        QCOMPARE(r.value(QStringLiteral("to")).toObject(),
                 (QJsonObject{{"version", "1.02"}, {"build", 31}, {"image", "embedded"}}));
        QCOMPARE(r.value(QStringLiteral("result")).toString(), result);
        QCOMPARE(r.value(QStringLiteral("cause")), causeName);
        QCOMPARE(r.value(QStringLiteral("text")).toString(), QStringLiteral("What was shown."));
        QVERIFY(r.value(QStringLiteral("seconds")).toDouble() >= 0);
        QCOMPARE(r.value(QStringLiteral("trace")).toString(), name);
    }

    void nothingKnownIsNull()
    {
        {
            records::UpdateRecord attempt(QStringLiteral("QelUpdater"), QStringLiteral("1.0.0"),
                                          QStringLiteral("desk"));
            attempt.finish(QStringLiteral("failed"), US_CAUSE_NO_DEVICE, QStringLiteral("Gone."));
            // Once only.
            attempt.finish(QStringLiteral("updated"), US_CAUSE_NONE, QString());
        }
        const QVector<QJsonObject> lines = history();
        QCOMPARE(lines.size(), 1);
        for (const char *field : {"product", "from", "to"})
            QVERIFY2(lines[0].value(QLatin1String(field)).isNull(), field);
        QCOMPARE(lines[0].value(QStringLiteral("cause")).toString(), QStringLiteral("no-device"));
    }

    // An attempt that never ended (the program was killed, an exception)
    // leaves its trace and no history.
    void unfinishedLeavesNoHistory()
    {
        QString name;
        {
            records::UpdateRecord attempt(QStringLiteral("QelUpdater"), QStringLiteral("1.0.0"),
                                          QStringLiteral("desk"));
            name = attempt.trace_name();
        }
        QVERIFY(!name.isEmpty());
        QCOMPARE(traces(), QStringList{name});
        QVERIFY(!QFileInfo::exists(records::StateFolder().history_path()));
    }

    // Attempts in the same millisecond on one device keep a trace each.
    void attemptsAtOnceKeepTheirTraces()
    {
        records::UpdateRecord first(QStringLiteral("p"), QStringLiteral("1"), QStringLiteral("desk"));
        records::UpdateRecord second(QStringLiteral("p"), QStringLiteral("1"), QStringLiteral("desk"));
        QVERIFY(!first.trace_name().isEmpty());
        QVERIFY(!second.trace_name().isEmpty());
        QVERIFY(first.trace_name() != second.trace_name());
    }

    void keepsTheNewestTwentyTraces()
    {
        QStringList names;
        for (int i = 0; i < records::kTracesKept + 3; ++i) {
            records::UpdateRecord attempt(QStringLiteral("p"), QStringLiteral("1"),
                                          QStringLiteral("dev%1").arg(i, 2, 10, QLatin1Char('0')));
            names << attempt.trace_name();
            attempt.finish(QStringLiteral("updated"), US_CAUSE_NONE, QString());
        }
        QStringList expected = names;
        expected.sort();
        QCOMPARE(traces(), expected.mid(3));
        QCOMPARE(history().size(), records::kTracesKept + 3);
    }

    // A state folder that cannot be had: the attempt goes on unrecorded.
    void unwritableFolderRecordsNothing()
    {
        QFile blocker(dir->filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        point_at(dir->filePath(QStringLiteral("file")));
        records::UpdateRecord attempt(QStringLiteral("p"), QStringLiteral("1"), QStringLiteral("desk"));
        QVERIFY(attempt.trace_name().isEmpty());
        attempt.set_from(101, 30);
        attempt.finish(QStringLiteral("updated"), US_CAUSE_NONE, QString());
        QVERIFY(!QFileInfo::exists(records::StateFolder().history_path()));
        QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{QStringLiteral("file")});
    }

    // Every attempt of a program finds the same folder it cannot write:
    // saying so once is enough. A process of its own, as the flag is.
    void warnsOncePerProgram_data()
    {
        QTest::addColumn<bool>("writable");
        QTest::addColumn<int>("warnings");
        QTest::newRow("writable") << true << 0;
        QTest::newRow("not writable") << false << 1;
    }

    void warnsOncePerProgram()
    {
        QFETCH(bool, writable);
        QFETCH(int, warnings);
        if (!writable) {
            QFile blocker(dir->filePath(QStringLiteral("file")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            point_at(dir->filePath(QStringLiteral("file")));
        }
        QProcess helper;
        helper.start(QStringLiteral(RECORDS_APPENDER), {"attempts", "3"});
        QVERIFY(helper.waitForFinished(60000));
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), 0);
        // The helper's stdout is a text stream: CR LF on Windows.
        const QList<QByteArray> lines =
            helper.readAllStandardOutput().replace("\r\n", "\n").split('\n');
        QCOMPARE(lines.size(), warnings + 1);
        if (warnings)
            QVERIFY2(lines[0].startsWith("Updates are not recorded: ") && lines[0].endsWith('.'),
                     lines[0].constData());
        QCOMPARE(history().size(), writable ? 3 : 0);
    }
};

QTEST_GUILESS_MAIN(UpdateRecordTest)
#include "tst_updaterecord.moc"
