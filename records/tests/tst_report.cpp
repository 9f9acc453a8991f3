#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include "report.h"
#include "statefolder.h"
#include "tracefolder.h"

class ReportTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        const QString state = dir->filePath(QStringLiteral("state"));
        qputenv("XDG_STATE_HOME", QFile::encodeName(state));
        qputenv("LOCALAPPDATA", QFile::encodeName(QDir::toNativeSeparators(state)));
    }

    void carriesHistoryAndTheNewestTraces()
    {
        records::StateFolder folder;
        QVERIFY(folder.prepare());
        write(folder.history_path(), "{\"device\":\"a\",\"result\":\"updated\"}\n"
                                     "{\"device\":\"b\",\"res\n"
                                     "{\"device\":\"c\",\"result\":\"failed\"}\n");
        const QDateTime start(QDate(2026, 12, 10), QTime(21, 30), Qt::UTC);
        QStringList names;
        for (int i = 0; i < 7; ++i) {
            names << records::trace_file_name(start.addDays(i), QStringLiteral("desk"));
            write(folder.traces_path() + QLatin1Char('/') + names.last(),
                  "{\"format\":\"qel-trace\"}\nnot json\n{\"t\":" + QByteArray::number(i)
                      + "}\n[]\n{\"t\":1.5,\"diag\":\"x\"");
        }

        const QJsonObject report = records::make_report(QStringLiteral("qel-fwtool"), QStringLiteral("1.0.0"));
        QStringList keys = report.keys();
        QCOMPARE(keys, (QStringList{"created", "format", "history", "os", "program", "program_version",
                                    "traces", "version"}));
        QCOMPARE(report.value(QStringLiteral("format")).toString(), QStringLiteral("qel-report"));
        QCOMPARE(report.value(QStringLiteral("version")).toInt(), 1);
        QCOMPARE(report.value(QStringLiteral("program")).toString(), QStringLiteral("qel-fwtool"));
        QCOMPARE(report.value(QStringLiteral("program_version")).toString(), QStringLiteral("1.0.0"));
        const QDateTime created = QDateTime::fromString(report.value(QStringLiteral("created")).toString(),
                                                        Qt::ISODateWithMs);
        QVERIFY(created.isValid());
        QCOMPARE(created.timeSpec(), Qt::UTC);
        QVERIFY(!report.value(QStringLiteral("os")).toString().isEmpty());

        const QJsonArray history = report.value(QStringLiteral("history")).toArray();
        QCOMPARE(history.size(), 2);
        QCOMPARE(history[0].toObject().value(QStringLiteral("device")).toString(), QStringLiteral("a"));
        QCOMPARE(history[1].toObject().value(QStringLiteral("device")).toString(), QStringLiteral("c"));

        const QJsonArray traces = report.value(QStringLiteral("traces")).toArray();
        QCOMPARE(traces.size(), records::kTracesReported);
        for (int i = 0; i < traces.size(); ++i) {
            const QJsonObject trace = traces[i].toObject();
            QCOMPARE(trace.keys(), (QStringList{"name", "records"}));
            QCOMPARE(trace.value(QStringLiteral("name")).toString(), names[6 - i]);
            const QJsonArray lines = trace.value(QStringLiteral("records")).toArray();
            QCOMPARE(lines.size(), 2);
            QCOMPARE(lines[1].toObject().value(QStringLiteral("t")).toInt(), 6 - i);
        }
        // Nothing of where the records are kept.
        QVERIFY(!QJsonDocument(report).toJson().contains(QFile::encodeName(dir->path())));
    }

    // Asking for a report creates no state folder.
    void emptyWithoutRecords()
    {
        const QJsonObject report = records::make_report(QStringLiteral("QelUpdater"), QStringLiteral("1.0.0"));
        QCOMPARE(report.value(QStringLiteral("history")).toArray(), QJsonArray());
        QCOMPARE(report.value(QStringLiteral("traces")).toArray(), QJsonArray());
        QVERIFY(!QFileInfo::exists(dir->filePath(QStringLiteral("state"))));
    }

    void saves()
    {
        records::StateFolder folder;
        QVERIFY(folder.prepare());
        write(folder.history_path(), "{\"device\":\"a\"}\n");
        const QString path = dir->filePath(QStringLiteral("report.json"));
        write(path, "old contents");
        QString reason;
        QVERIFY2(records::save_report(path, QStringLiteral("QelUpdater"), QStringLiteral("1.0.0"), &reason),
                 qPrintable(reason));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject saved = QJsonDocument::fromJson(file.readAll()).object();
        QCOMPARE(saved.value(QStringLiteral("program")).toString(), QStringLiteral("QelUpdater"));
        QCOMPARE(saved.value(QStringLiteral("history")).toArray().size(), 1);
    }

    void cannotBeSaved_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing folder") << "missing/report.json";
        QTest::newRow("a file as folder") << "blocker/report.json";
        QTest::newRow("a folder") << "folder";
    }

    void cannotBeSaved()
    {
        QFETCH(QString, name);
        write(dir->filePath(QStringLiteral("blocker")), "x");
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("folder")));
        const QString path = dir->filePath(name);
        QString reason;
        QVERIFY(!records::save_report(path, QStringLiteral("QelUpdater"), QStringLiteral("1.0.0"), &reason));
        QVERIFY2(reason.contains(QDir::toNativeSeparators(path)), qPrintable(reason));
        QVERIFY2(reason.endsWith(QLatin1Char('.')), qPrintable(reason));
        QVERIFY(!QFileInfo(path).isFile());
    }

    void defaultName()
    {
        QCOMPARE(records::default_report_name(QDateTime(QDate(2026, 12, 10), QTime(22, 30, 0, 999),
                                                        Qt::OffsetFromUTC, 3600)),
                 QStringLiteral("qel-report-20261210-213000.json"));
    }
};

QTEST_GUILESS_MAIN(ReportTest)
#include "tst_report.moc"
