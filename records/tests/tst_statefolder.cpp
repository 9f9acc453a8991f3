#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "statefolder.h"

class StateFolderTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

    void point_at(const QString &base)
    {
        qputenv("XDG_STATE_HOME", QFile::encodeName(base));
        qputenv("LOCALAPPDATA", QFile::encodeName(QDir::toNativeSeparators(base)));
    }

#ifndef Q_OS_WIN
    static int mode_of(const QString &path)
    {
        struct stat st;
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            return -1;
        return int(st.st_mode & 07777);
    }
#endif

    static QString own_name()
    {
#ifdef Q_OS_WIN
        return QStringLiteral("QelUpdater");
#else
        return QStringLiteral("qel-updater");
#endif
    }

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        point_at(dir->path() + QStringLiteral("/state"));
    }

    void cleanup()
    {
#ifndef Q_OS_WIN
        // What a case made read-only must be removable again.
        for (const QString &p : {dir->path(), dir->path() + QStringLiteral("/state"),
                                 dir->path() + QStringLiteral("/state/qel-updater")})
            ::chmod(QFile::encodeName(p).constData(), 0700);
#endif
        dir.reset();
    }

    void createdOnDemandForTheUserAlone()
    {
        records::StateFolder folder;
        const QString expected = dir->path() + QStringLiteral("/state/") + own_name();
        QCOMPARE(folder.path(), expected);
        QVERIFY(!QFileInfo::exists(expected));
        QCOMPARE(folder.traces_path(), expected + QStringLiteral("/traces"));
        QCOMPARE(folder.history_path(), expected + QStringLiteral("/history.jsonl"));

        QVERIFY2(folder.prepare(), qPrintable(folder.reason()));
        QVERIFY(folder.reason().isEmpty());
        QVERIFY(QFileInfo(folder.traces_path()).isDir());
#ifndef Q_OS_WIN
        // The parents it had to make too: the base directories ask for it.
        QCOMPARE(mode_of(dir->path() + QStringLiteral("/state")), 0700);
        QCOMPARE(mode_of(folder.path()), 0700);
        QCOMPARE(mode_of(folder.traces_path()), 0700);
#endif
        // A second time finds it there.
        records::StateFolder again;
        QVERIFY(again.prepare());
    }

#ifndef Q_OS_WIN
    void existingFolderUsedAsIs()
    {
        const QString path = dir->path() + QStringLiteral("/state/qel-updater");
        QVERIFY(QDir().mkpath(path));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0755) == 0);
        records::StateFolder folder;
        QVERIFY(folder.prepare());
        QCOMPARE(mode_of(path), 0755);
        QCOMPARE(mode_of(folder.traces_path()), 0700);
    }

    void location_data()
    {
        QTest::addColumn<QByteArray>("xdg");      // null: unset
        QTest::addColumn<QByteArray>("home");
        QTest::addColumn<QString>("expected");    // empty: none

        QTest::newRow("XDG_STATE_HOME") << QByteArray("/x/state") << QByteArray("/h")
                                        << "/x/state/qel-updater";
        QTest::newRow("trailing slash") << QByteArray("/x/state/") << QByteArray("/h")
                                        << "/x/state/qel-updater";
        QTest::newRow("unset") << QByteArray() << QByteArray("/h") << "/h/.local/state/qel-updater";
        QTest::newRow("empty") << QByteArray("") << QByteArray("/h") << "/h/.local/state/qel-updater";
        QTest::newRow("relative") << QByteArray("state") << QByteArray("/h")
                                  << "/h/.local/state/qel-updater";
        QTest::newRow("no home") << QByteArray() << QByteArray("") << QString();
    }

    void location()
    {
        QFETCH(QByteArray, xdg);
        QFETCH(QByteArray, home);
        QFETCH(QString, expected);

        const QByteArray old_home = qgetenv("HOME");
        if (xdg.isNull())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", xdg);
        qputenv("HOME", home);
        records::StateFolder folder;
        qputenv("HOME", old_home);

        QCOMPARE(folder.path(), expected);
        if (expected.isEmpty()) {
            QVERIFY(!folder.prepare());
            QVERIFY(folder.reason().endsWith(QLatin1Char('.')));
        }
    }
#endif

    // Whatever stands in the way, a sentence and nothing made or stopped.
    void cannotBeHad_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("a file where a folder belongs") << "file";
#ifndef Q_OS_WIN
        QTest::newRow("parent not writable") << "read-only parent";
        QTest::newRow("folder not writable") << "read-only folder";
#endif
    }

    void cannotBeHad()
    {
        QFETCH(QString, obstacle);
        const QString state = dir->path() + QStringLiteral("/state");
        if (obstacle == QLatin1String("file")) {
            QFile file(state);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
#ifndef Q_OS_WIN
        else {
            if (::geteuid() == 0)
                QSKIP("root writes whatever the modes say");
            const QString locked = obstacle == QLatin1String("read-only parent")
                                       ? state
                                       : state + QStringLiteral("/qel-updater");
            QVERIFY(QDir().mkpath(locked));
            QVERIFY(::chmod(QFile::encodeName(locked).constData(), 0500) == 0);
        }
#endif
        records::StateFolder folder;
        QVERIFY(!folder.prepare());
        const QString reason = folder.reason();
        QVERIFY2(reason.startsWith(QLatin1String("Updates are not recorded: ")), qPrintable(reason));
        QVERIFY2(reason.endsWith(QLatin1Char('.')), qPrintable(reason));
        QVERIFY(!reason.contains(QLatin1Char('\n')));
        QVERIFY2(reason.contains(QDir::toNativeSeparators(state)), qPrintable(reason));
        QVERIFY(!QFileInfo::exists(folder.traces_path()));
    }
};

QTEST_GUILESS_MAIN(StateFolderTest)
#include "tst_statefolder.moc"
