// The Help menu's diagnostic report: what the user chooses in the file
// dialog gets the report, and a report that cannot be saved says why.
#include <memory>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "dialoghandlers.h"
#include "mainwindow.h"
#include "statefolder.h"
#include "modalwatcher.h"

class DiagnosticReportTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;
    QTemporaryDir dir;

    QAction *save_action() const
    {
        return window->findChild<QAction *>(QStringLiteral("actionSaveReport"));
    }

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(dir.isValid());
        // The window's records go to a folder of the test's own.
        const QString state = dir.filePath(QStringLiteral("state"));
        qputenv("XDG_STATE_HOME", QFile::encodeName(state));
        qputenv("LOCALAPPDATA", QFile::encodeName(QDir::toNativeSeparators(state)));
    }

    void init()
    {
        window.reset(new MainWindow);
        QVERIFY(save_action());
    }

    void cleanup()
    {
        window.reset();
    }

    // Second in the Help menu, after About.
    void placeInTheMenu()
    {
        auto *help = window->findChild<QMenu *>(QStringLiteral("menuFile"));
        QVERIFY(help);
        QCOMPARE(help->actions().size(), 2);
        QCOMPARE(help->actions()[0]->objectName(), QStringLiteral("actionAbout"));
        QCOMPARE(help->actions()[1], save_action());
        QCOMPARE(save_action()->text(), QStringLiteral("Save Diagnostic Report..."));
    }

    void saveReport_data()
    {
        QTest::addColumn<QString>("name");   // null: the dialog is cancelled
        QTest::addColumn<bool>("saved");
        QTest::newRow("saved") << "report.json" << true;
        QTest::newRow("cancelled") << QString() << false;
        QTest::newRow("folder missing") << "missing/report.json" << false;
    }

    void saveReport()
    {
        QFETCH(QString, name);
        QFETCH(bool, saved);

        // Where the system keeps it: state/qel-updater, or state/QelUpdater on Windows.
        const records::StateFolder folder;
        QVERIFY(QDir().mkpath(folder.path()));
        QFile history(folder.history_path());
        QVERIFY(history.open(QIODevice::WriteOnly));
        history.write("{\"device\":\"desk\",\"result\":\"failed\"}\n");
        history.close();

        const QString path = name.isNull() ? QString() : dir.filePath(name);
        std::vector<ModalWatcher::Handler> handlers;
        if (name.isNull())
            handlers.push_back([](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); });
        else
            handlers.push_back(choose_file(path));
        Box shown;
        handlers.push_back(record_box(&shown));
        const QString old_version = QCoreApplication::applicationVersion();
        QCoreApplication::setApplicationVersion(QStringLiteral("9.8.7"));
        {
            ModalWatcher watcher(handlers);
            save_action()->trigger();
            QCOMPARE(watcher.seen(), name.isNull() || saved ? 1 : 2);
        }
        QCoreApplication::setApplicationVersion(old_version);

        if (saved) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
            QCOMPARE(report.value(QStringLiteral("format")).toString(), QStringLiteral("qel-report"));
            QCOMPARE(report.value(QStringLiteral("program")).toString(), QStringLiteral("QelUpdater"));
            QCOMPARE(report.value(QStringLiteral("program_version")).toString(), QStringLiteral("9.8.7"));
            const QJsonArray records = report.value(QStringLiteral("history")).toArray();
            QCOMPARE(records.size(), 1);
            QCOMPARE(records[0].toObject().value(QStringLiteral("device")).toString(), QStringLiteral("desk"));
        } else if (!name.isNull()) {
            QCOMPARE(shown.title, QStringLiteral("Error"));
            QVERIFY2(shown.text.startsWith(QStringLiteral("The diagnostic report cannot be saved: %1")
                                               .arg(QDir::toNativeSeparators(path))),
                     qPrintable(shown.text));
            QVERIFY(!QFileInfo::exists(path));
        }
    }

    // Offered in the home folder, named by the time.
    void saveReportDialogSettings()
    {
        QString caption, filter, directory, file;
        ModalWatcher watcher({[&](QWidget *w) {
            if (auto *fd = qobject_cast<QFileDialog *>(w)) {
                caption = fd->windowTitle();
                filter = fd->nameFilters().join(';');
                directory = fd->directory().absolutePath();
                if (auto *name = fd->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    file = name->text();
                else if (!fd->selectedFiles().isEmpty())
                    file = QFileInfo(fd->selectedFiles().first()).fileName();
            }
        }});
        save_action()->trigger();
        QCOMPARE(watcher.seen(), 1);
        QCOMPARE(caption, QStringLiteral("Save Diagnostic Report"));
        QCOMPARE(filter, QStringLiteral("JSON files (*.json)"));
        QCOMPARE(directory, QDir::homePath());
        QVERIFY2(QRegularExpression(QStringLiteral("^qel-report-\\d{8}-\\d{6}\\.json$")).match(file).hasMatch(),
                 qPrintable(file));
    }
};

QTEST_MAIN(DiagnosticReportTest)
#include "tst_diagnosticreport.moc"
