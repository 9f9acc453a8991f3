// Starts the real updater several times, as a user would, and watches which
// instances keep running. Each start gets its own runtime and temporary
// directories, so nothing here meets an updater the user is running.
#include <memory>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class SingleInstanceTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir runtime;
    bool with_runtime_dir = true;   // else only a temporary directory is set
    std::vector<std::unique_ptr<QProcess>> started;

    QString marker_dir() const
    {
        return with_runtime_dir ? runtime.path()
                                : runtime.path() + QStringLiteral("/qel-%1").arg(::getuid());
    }

    QProcess *start(const QString &program)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        if (with_runtime_dir)
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        else
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        env.insert(QStringLiteral("TMPDIR"), runtime.path());
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(program, QStringList());
        if (!process->waitForStarted(30000))
            return nullptr;
        started.push_back(std::move(process));
        return started.back().get();
    }

    // True once the process holds its single-instance lock, that is once it
    // has passed the single-instance test as the only instance.
    bool holds_marker(QProcess *process, const QString &name)
    {
        const QByteArray path = QFile::encodeName(marker_dir() + QLatin1Char('/') + name
                                                  + QStringLiteral("_shmem.lock"));
        struct stat st;
        if (::stat(path.constData(), &st) != 0)
            return false;
        QFile locks(QStringLiteral("/proc/locks"));
        if (!locks.open(QIODevice::ReadOnly))
            return false;
        const QByteArray pid = QByteArray::number(process->processId());
        const QByteArray inode = ':' + QByteArray::number(qulonglong(st.st_ino));
        for (const QByteArray &line : locks.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() >= 6 && f[1] == "FLOCK" && f[4] == pid && f[5].endsWith(inode))
                return true;
        }
        return false;
    }

    bool wait_until_running(QProcess *process, const QString &name)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 60000) {
            if (process->state() != QProcess::Running)
                return false;
            if (holds_marker(process, name))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    static bool exits_as_second(QProcess *process)
    {
        return process && process->waitForFinished(60000)
               && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 255;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(runtime.isValid());
        QVERIFY(QFile::exists(QStringLiteral(QELUPDATER_PATH)));
    }

    void cleanup()
    {
        for (auto &process : started) {
            process->kill();
            process->waitForFinished(30000);
        }
        started.clear();
        with_runtime_dir = true;
    }

    void secondInstanceExits_data()
    {
        QTest::addColumn<bool>("runtimeDir");
        QTest::newRow("in the runtime directory") << true;
        QTest::newRow("in a private temporary directory") << false;
    }

    void secondInstanceExits()
    {
        QFETCH(bool, runtimeDir);
        with_runtime_dir = runtimeDir;
        QProcess *first = start(QStringLiteral(QELUPDATER_PATH));
        QVERIFY(first);
        QVERIFY(wait_until_running(first, QStringLiteral("QelUpdater")));

        QVERIFY(exits_as_second(start(QStringLiteral(QELUPDATER_PATH))));
        QCOMPARE(first->state(), QProcess::Running);
        QVERIFY(holds_marker(first, QStringLiteral("QelUpdater")));
        if (!runtimeDir)
            QCOMPARE(QFileInfo(marker_dir()).permissions() & 0x0077, QFileDevice::Permissions());
    }

    // The kernel drops the marker with the process, however it ends.
    void killedInstanceDoesNotBlock()
    {
        QProcess *first = start(QStringLiteral(QELUPDATER_PATH));
        QVERIFY(first);
        QVERIFY(wait_until_running(first, QStringLiteral("QelUpdater")));
        first->kill();
        QVERIFY(first->waitForFinished(30000));

        QProcess *next = start(QStringLiteral(QELUPDATER_PATH));
        QVERIFY(next);
        QVERIFY(wait_until_running(next, QStringLiteral("QelUpdater")));
        QVERIFY(exits_as_second(start(QStringLiteral(QELUPDATER_PATH))));
    }

    void differentNamesDoNotExclude()
    {
        const QString copy = runtime.path() + QStringLiteral("/QelUpdaterCopy");
        QVERIFY(QFile::copy(QStringLiteral(QELUPDATER_PATH), copy));

        QProcess *original = start(QStringLiteral(QELUPDATER_PATH));
        QVERIFY(original);
        QVERIFY(wait_until_running(original, QStringLiteral("QelUpdater")));
        QProcess *renamed = start(copy);
        QVERIFY(renamed);
        QVERIFY(wait_until_running(renamed, QStringLiteral("QelUpdaterCopy")));
        QCOMPARE(original->state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
