#include <cstring>
#include <memory>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QResource>
#include <QScrollBar>
#include <QShortcut>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include "appicon.h"
#include "fwupdateworker.h"
#include "mainwindow.h"
#include "dialoghandlers.h"
#include "modalwatcher.h"
#include "testimages.h"

Q_DECLARE_METATYPE(const QMetaObject *)

namespace {

const QString kEmbedded = QStringLiteral(":/res/update.bin");
const QString kEmbeddedLabel = QStringLiteral("Qel Firmware Updater\n\nTo 1.02, build 31");

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;
    QTemporaryDir dir;

    bool holds_embedded_image() const
    {
        const QByteArray embedded = embedded_bytes();
        return window->fw_path == kEmbedded && window->ui->label->text() == kEmbeddedLabel
               && window->image.size == embedded.size()
               && std::memcmp(window->image.data, embedded.constData(), size_t(embedded.size())) == 0;
    }

private slots:
    void initTestCase()
    {
        // Windows come and go here; none of that may end the application.
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(QFile::exists(kEmbedded));
    }

    void init()
    {
        window.reset(new MainWindow);
    }

    void cleanup()
    {
        window.reset();
    }

    void startsWithTheEmbeddedImage()
    {
        QVERIFY(holds_embedded_image());
        QCOMPARE(window->image.size, 268320);
        QCOMPARE(window->update_state, 0);
        QVERIFY(window->version_check);
        QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window->windowTitle(), QStringLiteral("MainWindow"));
        QCOMPARE(window->size(), QSize(320, 240));
        QCOMPARE(window->minimumSize(), QSize(320, 240));
        QCOMPARE(window->maximumSize(), QSize(320, 240));
    }

    void widgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<QRect>("geometry");   // null: laid out by others
        QTest::addColumn<QString>("text");     // null: no text to compare

        QTest::newRow("label") << "label" << "QLabel" << QRect(10, 10, 301, 61) << kEmbeddedLabel;
        QTest::newRow("button") << "button_fwupdate" << "QPushButton" << QRect(23, 140, 271, 32)
                                << "Firmware Update";
        QTest::newRow("progress bar") << "progressBar" << "QProgressBar" << QRect(60, 90, 221, 41)
                                      << QString();
        QTest::newRow("central widget") << "centralWidget" << "QWidget" << QRect() << QString();
        QTest::newRow("menu bar") << "menuBar" << "QMenuBar" << QRect() << QString();
    }

    void widgets()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);

        auto *widget = window->findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
        if (!geometry.isNull())
            QCOMPARE(widget->geometry(), geometry);
        if (!text.isNull())
            QCOMPARE(widget->property("text").toString(), text);
    }

    void widgetDetails()
    {
        QCOMPARE(window->ui->label->alignment(), Qt::AlignCenter);
        QCOMPARE(window->ui->progressBar->value(), 0);
        QCOMPARE(window->centralWidget(), window->ui->centralWidget);
        QCOMPARE(window->menuBar(), window->ui->menuBar);
        QCOMPARE(window->ui->menuFile->title(), QStringLiteral("Help"));
        QCOMPARE(window->ui->menuBar->actions(), QList<QAction *>{window->ui->menuFile->menuAction()});
        QCOMPARE(window->ui->menuFile->actions(),
                 (QList<QAction *>{window->ui->actionAbout, window->ui->actionSaveReport}));
        QCOMPARE(window->ui->actionAbout->objectName(), QStringLiteral("actionAbout"));
        QCOMPARE(window->ui->actionAbout->text(), QStringLiteral("About"));
        QCOMPARE(window->ui->actionSaveReport->objectName(), QStringLiteral("actionSaveReport"));
        QCOMPARE(window->ui->actionSaveReport->text(), QStringLiteral("Save Diagnostic Report..."));

        const auto shortcuts = window->findChildren<QShortcut *>();
        QCOMPARE(shortcuts.size(), 1);
        QCOMPARE(shortcuts[0]->key(), QKeySequence(QStringLiteral("Ctrl+Alt+F")));
        QCOMPARE(shortcuts[0]->context(), Qt::WindowShortcut);
    }

    // Slots and signals are reached by index elsewhere; their order is fixed.
    void methodOrder_data()
    {
        QTest::addColumn<const QMetaObject *>("metaObject");
        QTest::addColumn<QStringList>("methods");   // "kind access signature"

        QTest::newRow("MainWindow")
            << &MainWindow::staticMetaObject
            << QStringList{"slot private on_button_fwupdate_clicked()", "slot private on_timer()",
                           "slot private on_finish()", "slot private on_actionAbout_triggered()",
                           "slot private on_processtext(QString)", "slot private on_error(QString)",
                           "slot private select_fw_path()"};
        QTest::newRow("FWUpdateWorker")
            << &FWUpdateWorker::staticMetaObject
            << QStringList{"signal public finished()", "signal public process_text(QString)",
                           "signal public error(QString)", "slot public process()"};
    }

    void methodOrder()
    {
        QFETCH(const QMetaObject *, metaObject);
        QFETCH(QStringList, methods);

        QStringList actual;
        for (int i = metaObject->methodOffset(); i < metaObject->methodCount(); ++i) {
            const QMetaMethod m = metaObject->method(i);
            actual << QStringLiteral("%1 %2 %3")
                          .arg(m.methodType() == QMetaMethod::Signal ? "signal" : "slot",
                               m.access() == QMetaMethod::Private ? "private" : "public",
                               QString::fromLatin1(m.methodSignature()));
        }
        QCOMPARE(actual, methods);
    }

    void loadFw_data()
    {
        QTest::addColumn<QByteArray>("bytes");   // null: no file at all
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("label");      // on success
        QTest::addColumn<QString>("box");        // null: no box; %1 is the path

        const QString checksumBox = QStringLiteral("Checksum Error: %1");
        QTest::newRow("version 7") << sound_image("Qel", 7, 5) << true
                                   << "Qel Firmware Updater\n\nTo 0.07, build 5" << QString();
        QTest::newRow("version 102") << sound_image("Qel", 102, 31) << true << kEmbeddedLabel
                                     << QString();
        QTest::newRow("version 1000") << sound_image("Qel", 1000, 0) << true
                                      << "Qel Firmware Updater\n\nTo 10.00, build 0" << QString();
        QTest::newRow("version 65535") << sound_image("Qel", 65535, 65535) << true
                                       << "Qel Firmware Updater\n\nTo 655.35, build 65535"
                                       << QString();
        QTest::newRow("eight-letter product") << sound_image("QelMaxi8", 230, 4) << true
                                              << "QelMaxi8 Firmware Updater\n\nTo 2.30, build 4"
                                              << QString();
        QTest::newRow("placeholder in product") << sound_image("Q%2%3", 101, 2) << true
                                                << "Q%2%3 Firmware Updater\n\nTo 1.01, build 2"
                                                << QString();
        QTest::newRow("exactly 1 MiB") << sound_image("Qel", 300, 9, FW_IMAGE_CAPACITY - 36) << true
                                       << "Qel Firmware Updater\n\nTo 3.00, build 9" << QString();
        QByteArray over = sound_image("Qel", 300, 9);
        over.append(FW_IMAGE_CAPACITY + 1 - over.size(), '\0');
        QTest::newRow("1 MiB and one byte") << over << false << QString() << QString();
        QTest::newRow("31 bytes") << sound_image("Qel", 300, 9).left(31) << false << QString()
                                  << QString();
        QTest::newRow("empty file") << QByteArray("") << false << QString() << QString();
        QTest::newRow("no such file") << QByteArray() << false << QString() << QString();
        QTest::newRow("32 zero bytes") << QByteArray(32, '\0') << false << QString() << checksumBox;

        ImageRecipe bad;
        bad.body.assign(500, 0x5A);
        bad.header_checksum = 12345;
        QTest::newRow("bad checksum") << image_of(bad) << false << QString() << checksumBox;
        QTest::newRow("truncated image") << sound_image("Qel", 300, 9).chopped(1) << false
                                         << QString() << checksumBox;
    }

    void loadFw()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, loads);
        QFETCH(QString, label);
        QFETCH(QString, box);

        const QString path = bytes.isNull() ? dir.path() + QStringLiteral("/missing.bin")
                                            : write_file(dir.path(), QStringLiteral("image.bin"), bytes);
        Box shown;
        ModalWatcher watcher({record_box(&shown)});
        QCOMPARE(window->load_fw(path), loads);

        QCOMPARE(watcher.seen(), box.isNull() ? 0 : 1);
        if (!box.isNull()) {
            QCOMPARE(shown.title, QStringLiteral("Error"));
            QCOMPARE(shown.text, box.arg(path));
        }
        QCOMPARE(window->ui->label->text(), loads ? label : kEmbeddedLabel);
        if (loads) {
            QCOMPARE(window->image.size, bytes.size());
            QVERIFY(std::memcmp(window->image.data, bytes.constData(), size_t(bytes.size())) == 0);
        }
    }

    // What is no regular file is refused without waiting: a named pipe would
    // otherwise hold the window until somebody writes to it.
    void loadFwRefusesWhatIsNoFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("directory") << QStringLiteral("directory");
#ifndef Q_OS_WIN
        QTest::newRow("named pipe") << QStringLiteral("fifo");
#endif
    }

    void loadFwRefusesWhatIsNoFile()
    {
        QFETCH(QString, kind);
        const QString path = dir.path() + QStringLiteral("/chosen-") + kind;
#ifndef Q_OS_WIN
        if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
#endif
            QVERIFY(QDir().mkpath(path));
        ModalWatcher watcher({[](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); }});
        QVERIFY(!window->load_fw(path));
        QCOMPARE(watcher.seen(), 0);
        QVERIFY(holds_embedded_image());
    }

    void selectFwPath_data()
    {
        QTest::addColumn<QByteArray>("bytes");   // null: the dialog is cancelled
        QTest::addColumn<bool>("loads");
        QTest::addColumn<bool>("box");

        ImageRecipe bad;
        bad.body.assign(500, 0x5A);
        bad.trailer = 1;
        QByteArray over = sound_image("Qel", 300, 9);
        over.append(FW_IMAGE_CAPACITY + 1 - over.size(), '\0');

        QTest::newRow("cancelled") << QByteArray() << false << false;
        QTest::newRow("sound image") << sound_image("Qel", 90, 7) << true << false;
        QTest::newRow("bad checksum") << image_of(bad) << false << true;
        QTest::newRow("1 MiB and one byte") << over << false << false;
        QTest::newRow("31 bytes") << sound_image("Qel", 90, 7).left(31) << false << false;
    }

    void selectFwPath()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, loads);
        QFETCH(bool, box);

        std::vector<ModalWatcher::Handler> handlers;
        QString path;
        if (!bytes.isNull()) {
            path = write_file(dir.path(), QStringLiteral("chosen.fw"), bytes);
            handlers.push_back(choose_file(path));
        } else {
            handlers.push_back([](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); });
        }
        Box shown;
        handlers.push_back(record_box(&shown));
        ModalWatcher watcher(handlers);

        QMetaObject::invokeMethod(window.get(), "select_fw_path");

        QVERIFY(!window->version_check);
        QCOMPARE(watcher.seen(), box ? 2 : 1);
        if (box) {
            QCOMPARE(shown.title, QStringLiteral("Error"));
            QCOMPARE(shown.text, QStringLiteral("Checksum Error: %1").arg(path));
        }
        if (loads) {
            QCOMPARE(window->fw_path, path);
            QCOMPARE(window->ui->label->text(), QStringLiteral("Qel Firmware Updater\n\nTo 0.90, build 7"));
            QCOMPARE(window->image.size, bytes.size());
        } else {
            QVERIFY(holds_embedded_image());
        }
    }

    void fileDialogSettings()
    {
        QString caption, filter, directory;
        ModalWatcher watcher({[&](QWidget *w) {
            if (auto *fd = qobject_cast<QFileDialog *>(w)) {
                caption = fd->windowTitle();
                filter = fd->nameFilters().join(';');
                directory = fd->directory().absolutePath();
            }
        }});
        QMetaObject::invokeMethod(window.get(), "select_fw_path");
        QCOMPARE(watcher.seen(), 1);
        QCOMPARE(caption, QStringLiteral("Open File"));
        QCOMPARE(filter, QStringLiteral("Firmware (*)"));
        QCOMPARE(directory, QDir::currentPath());
    }

    void shortcutOpensFileChooser()
    {
        window->show();
        QApplication::setActiveWindow(window.get());
        QVERIFY(QTest::qWaitForWindowActive(window.get()));

        bool chooser = false;
        ModalWatcher watcher({[&](QWidget *w) { chooser = qobject_cast<QFileDialog *>(w); }});
        QTest::keyClick(window.get(), Qt::Key_F, Qt::ControlModifier | Qt::AltModifier);
        QCOMPARE(watcher.seen(), 1);
        QVERIFY(chooser);
        QVERIFY(!window->version_check);
    }

    // The worker is sending image.data while an update runs: no file dialog,
    // nothing loaded, the version check as it was.
    void selectFwPathRefusedWhileUpdating()
    {
        window->update_state = 1;
        Box shown;
        ModalWatcher watcher({record_box(&shown)});
        QMetaObject::invokeMethod(window.get(), "select_fw_path");

        QCOMPARE(watcher.seen(), 1);
        QCOMPARE(shown.title, QStringLiteral("Error"));
        QCOMPARE(shown.text, QStringLiteral("A firmware update is running. The firmware file cannot "
                                            "be changed until it has finished."));
        QVERIFY(window->version_check);
        QVERIFY(holds_embedded_image());
        window->update_state = 0;
    }

    // The worker uses the window's records until it has finished.
    void closeRefusedWhileUpdating()
    {
        window->show();
        window->update_state = 1;
        Box shown;
        {
            ModalWatcher watcher({record_box(&shown)});
            QVERIFY(!window->close());
            QCOMPARE(watcher.seen(), 1);
        }
        QCOMPARE(shown.title, QStringLiteral("Error"));
        QVERIFY(window->isVisible());

        window->update_state = 0;
        ModalWatcher watcher;
        QVERIFY(window->close());
        QCOMPARE(watcher.seen(), 0);
    }

    void progress_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("total");
        QTest::addColumn<uint>("pos");

        for (const char *slot : {"on_timer", "on_finish"}) {
            const QByteArray s(slot);
            QTest::newRow(s + ": value beyond the old maximum") << s << 100 << 268320 << 200000u;
            QTest::newRow(s + ": total shrinks") << s << 268320 << 5000 << 5000u;
            QTest::newRow(s + ": same total") << s << 1000 << 1000 << 10u;
        }
    }

    void progress()
    {
        QFETCH(QByteArray, slot);
        QFETCH(int, maximum);
        QFETCH(int, total);
        QFETCH(uint, pos);

        window->ui->progressBar->setRange(0, maximum);
        window->job.total = total;
        window->job.pos = pos;
        QMetaObject::invokeMethod(window.get(), slot.constData());
        QCOMPARE(window->ui->progressBar->maximum(), total);
        QCOMPARE(window->ui->progressBar->value(), int(pos));
    }

    void finishReturnsToIdle()
    {
        window->update_state = 1;
        window->ui->button_fwupdate->setEnabled(false);
        window->ui->button_fwupdate->setText(QStringLiteral("Updating..."));
        window->timer.start(100);
        QMetaObject::invokeMethod(window.get(), "on_processtext", Q_ARG(QString, "Checking..."));
        QCOMPARE(window->ui->label->text(), QStringLiteral("Checking..."));
        QMetaObject::invokeMethod(window.get(), "on_error", Q_ARG(QString, "Firmware Update Failed"));

        QMetaObject::invokeMethod(window.get(), "on_finish");
        QCOMPARE(window->update_state, 0);
        QVERIFY(!window->timer.isActive());
        QVERIFY(window->ui->button_fwupdate->isEnabled());
        QCOMPARE(window->ui->button_fwupdate->text(), QStringLiteral("Firmware Update"));
        QCOMPARE(window->ui->label->text(), QStringLiteral("Firmware Update Failed"));
    }

    void aboutShowsTheLicence()
    {
        QFile file(QStringLiteral(":/res/LICENSE.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString expected = QString::fromUtf8(file.readAll());
        QVERIFY(expected.contains(QChar(0x0C)));
        // What the browser hands back: page breaks gone, lines ended by LF.
        expected.remove(QChar(0x0C));
        expected.replace(QLatin1String("\r\n"), QLatin1String("\n"));

        // Twice: each opening is a dialog of its own, starting at the top.
        for (int round = 0; round < 2; ++round) {
            QString title, text;
            QSize size, minimum, maximum;
            int scroll = -1;
            bool readOnly = false;
            ModalWatcher watcher({[&](QWidget *w) {
                title = w->windowTitle();
                size = w->size();
                minimum = w->minimumSize();
                maximum = w->maximumSize();
                if (auto *browser = w->findChild<QTextBrowser *>()) {
                    text = browser->toPlainText();
                    readOnly = browser->isReadOnly();
                    scroll = browser->verticalScrollBar()->value();
                    browser->verticalScrollBar()->setValue(browser->verticalScrollBar()->maximum());
                }
            }});
            window->ui->actionAbout->trigger();

            QCOMPARE(watcher.seen(), 1);
            QCOMPARE(title, QStringLiteral("License Information"));
            QCOMPARE(size, QSize(650, 400));
            QCOMPARE(minimum, QSize(650, 400));
            QCOMPARE(maximum, QSize(650, 400));
            QVERIFY(readOnly);
            QCOMPARE(scroll, 0);
            QCOMPARE(text, expected);
        }
    }

    void aboutWithoutTheResource()
    {
        Q_CLEANUP_RESOURCE(res);
        QTest::ignoreMessage(QtDebugMsg, "Open Error");
        for (int i = 0; i < 3; ++i)
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^QDir\\(")));
        Box shown;
        ModalWatcher watcher({record_box(&shown)});
        window->ui->actionAbout->trigger();
        Q_INIT_RESOURCE(res);

        QCOMPARE(watcher.seen(), 1);
        QCOMPARE(shown.title, QStringLiteral("File Missing!"));
        QCOMPARE(shown.text,
                 QStringLiteral("There is a possibility that the file has been moved or deleted."));
    }

    void resourcesAreStoredUncompressed_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("image") << kEmbedded;
        QTest::newRow("licence") << QStringLiteral(":/res/LICENSE.txt");
    }

    void resourcesAreStoredUncompressed()
    {
        QFETCH(QString, path);
        QResource resource(path);
        QVERIFY(resource.isValid());
        QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    }

    void licenceIsPlainAsciiWithCrLf()
    {
        QFile file(QStringLiteral(":/res/LICENSE.txt"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(!bytes.isEmpty());
        QVERIFY(!bytes.startsWith("\xEF\xBB\xBF"));
        for (int i = 0; i < bytes.size(); ++i) {
            const unsigned char c = uchar(bytes[i]);
            if (c >= 0x80 || (c == '\n' && (i == 0 || bytes[i - 1] != '\r'))
                || (c == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')))
                QFAIL(qPrintable(QStringLiteral("byte %1 at offset %2").arg(c).arg(i)));
        }
    }

    void iconHasEverySize()
    {
#ifdef Q_OS_WIN
        QSKIP("On Windows the icon is the executable's own resource, not app_icon()");
#endif
        const QIcon icon = app_icon();
        QList<QSize> sizes = icon.availableSizes();
        QList<QSize> expected;
        for (int s : {256, 192, 128, 96, 64, 48, 40, 32, 24, 16}) {
            expected << QSize(s, s);
            QCOMPARE(icon.pixmap(s).size(), QSize(s, s));
        }
        std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() > b.width(); });
        QCOMPARE(sizes, expected);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
