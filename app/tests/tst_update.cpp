#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <QAction>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "companion.h"
#include "devicetarget.h"
#include "mainwindow.h"
#include "dialoghandlers.h"
#include "modalwatcher.h"
#include "testimages.h"
#include "virtualclock.h"

namespace {

const QString kEmbedded = QStringLiteral(":/res/update.bin");
const QString kCompleted = QStringLiteral("Completed.\n\nPlease turn the device's power on again.");
const uint8_t kTagStart = 33;
const uint8_t kTagBlock = 37;
const uint8_t kTagChecksumRequest = 39;

std::vector<uint8_t> as_vector(const QByteArray &bytes)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// The label's texts as the worker's signals set them: each queued call is
// delivered here, so that what it leaves in the label can be seen.
class LabelLog : public QObject {
public:
    explicit LabelLog(QLabel *label) : label_(label) {}
    QStringList texts;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::MetaCall)
            return false;
        watched->event(event);
        const QString text = label_->text();
        if (texts.isEmpty() || texts.last() != text)
            texts << text;
        return true;
    }

private:
    QLabel *label_;
};

// Holds back the queued calls to an object (they are dropped), counting them.
} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    VirtualClock clock;
    QTemporaryDir dir;
    std::unique_ptr<qel::Device> device;
    std::unique_ptr<DeviceTarget> target;
    std::unique_ptr<testchannel::Attached> attached;
    std::unique_ptr<MainWindow> window;

    // The device's identity is the one given; an installed image only sets
    // the checksum it reports.
    void connect_device(const QByteArray &product, int version, int build,
                        const QByteArray &installed = QByteArray(),
                        const QStringList &faults = QStringList())
    {
        qel::DeviceConfig cfg;
        cfg.clock_us = [] { return VirtualClock::now_ms() * 1000; };
        cfg.product = product.toStdString();
        cfg.version = uint16_t(version);
        cfg.build = uint16_t(build);
        cfg.identity_from_image = false;
        cfg.installed = as_vector(installed);
        for (const QString &f : faults)
            QVERIFY(qel::parse_fault(f.toStdString(), cfg, nullptr));
        device.reset(new qel::Device(cfg));
        target.reset(new DeviceTarget(*device));
        attached.reset(new testchannel::Attached(*target));
    }

    void use_image(const QByteArray &bytes)
    {
        if (!bytes.isNull())
            QVERIFY(window->load_fw(write_file(dir.path(), QStringLiteral("image.bin"), bytes)));
    }

    bool idle_with_button() const
    {
        return window->update_state == 0 && window->ui->button_fwupdate->isEnabled()
               && window->ui->button_fwupdate->text() == QStringLiteral("Firmware Update");
    }

    bool updating_with_button() const
    {
        return window->update_state == 1 && !window->ui->button_fwupdate->isEnabled()
               && window->ui->button_fwupdate->text() == QStringLiteral("Updating...");
    }

    // Presses the button and answers the question with OK; true when exactly
    // one modal box (the question) came up.
    bool press_and_confirm(Box *question)
    {
        ModalWatcher watcher({confirm(question)});
        window->ui->button_fwupdate->click();
        return watcher.seen() == 1;
    }

    int sent(uint8_t tag) const { return device ? messages_with_tag(*device, tag) : 0; }

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(QFile::exists(kEmbedded));
    }

    void cleanup()
    {
        if (target)
            target->release();
        window.reset();
        attached.reset();
        target.reset();
        device.reset();
    }

    void normalUpdate()
    {
        connect_device("Qel", 101, 31);
        window.reset(new MainWindow);
        LabelLog labels(window->ui->label);
        // The worker's reports reach the window through its update session.
        window->session.installEventFilter(&labels);
        // Held in the middle of sending; after that the blocks are paced in
        // real time, so that the timer reads the progress while it is written.
        target->hold_at(kTagBlock, 200);
        target->pace(kTagBlock, 200);

        Box question;
        QVERIFY(press_and_confirm(&question));
        QCOMPARE(question.title, QStringLiteral("Firmware Update"));
        QVERIFY(updating_with_button());

        const int size = embedded_bytes().size();
        QTRY_VERIFY(target->held());
        QTRY_VERIFY(window->ui->progressBar->value() > 0);
        QCOMPARE(window->ui->progressBar->maximum(), size);
        QVERIFY(window->ui->progressBar->value() < size);
        target->release();

        QTRY_VERIFY_WITH_TIMEOUT(idle_with_button(), 60000);
        QCOMPARE(labels.texts, (QStringList{"Preparing...", "Sending and Updating...",
                                            "Checking...", kCompleted}));
        QCOMPARE(window->ui->progressBar->maximum(), size);
        QCOMPARE(window->ui->progressBar->value(), size);
        QVERIFY(!window->timer.isActive());
        QCOMPARE(device->product(), std::string("Qel"));
        QCOMPARE(device->version(), uint16_t(102));
        QCOMPARE(device->build(), uint16_t(31));
        QVERIFY(device->installed() == as_vector(embedded_bytes()));
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("product");    // null: no device connected
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("build");
        QTest::addColumn<QByteArray>("installed");
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QByteArray>("image");      // null: the embedded one
        QTest::addColumn<bool>("corrupt");          // the held image's bytes damaged
        QTest::addColumn<QString>("text");

        const QByteArray none;
        const QStringList sound;
        const QByteArray installed = sound_image("Qel", 102, 31);

        QTest::newRow("no device") << none << 0 << 0 << none << sound << none << false
                                   << "Supported hardware is not connected.";
        QTest::newRow("product differs in case") << QByteArray("qel") << 101 << 31 << none << sound
                                                 << none << false << "Product is not matching";
        QTest::newRow("product with a trailing blank") << QByteArray("Qel ") << 101 << 31 << none
                                                       << sound << none << false
                                                       << "Product is not matching";
        QTest::newRow("equal version and build") << QByteArray("Qel") << 102 << 31 << none << sound
                                                 << none << false
                                                 << "Cannot downgrade from 1.02 to 1.02";
        QTest::newRow("older image") << QByteArray("Qel") << 1230 << 40 << none << sound
                                     << sound_image("Qel", 7, 5) << false
                                     << "Cannot downgrade from 12.30 to 0.07";
        QTest::newRow("same image under an older identity")
            << QByteArray("Qel") << 101 << 31 << embedded_bytes() << sound << none << false
            << "Already updated.";
        QTest::newRow("newer image with an equal checksum")
            << QByteArray("Qel") << 102 << 31 << installed << sound << sound_image("Qel", 103, 31)
            << false << "Already updated.";
        QTest::newRow("no checksum answer") << QByteArray("Qel") << 101 << 31 << none
                                            << QStringList{"never=40"} << none << false
                                            << "Cannot get hardware checksum";
        QTest::newRow("no product answer") << QByteArray("Qel") << 101 << 31 << none
                                           << QStringList{"never=52"} << none << false
                                           << "Cannot get connected hardware product";
        QTest::newRow("no version answer") << QByteArray("Qel") << 101 << 31 << none
                                           << QStringList{"never=50"} << none << false
                                           << "Cannot get connected hardware version";
        QTest::newRow("no build answer") << QByteArray("Qel") << 101 << 31 << none
                                         << QStringList{"never=51"} << none << false
                                         << "Cannot get connected hardware build";
        QTest::newRow("broken embedded image") << QByteArray("Qel") << 101 << 31 << none << sound
                                               << none << true << "Checksum Error: :/res/update.bin";
    }

    void refusals()
    {
        QFETCH(QByteArray, product);
        QFETCH(int, version);
        QFETCH(int, build);
        QFETCH(QByteArray, installed);
        QFETCH(QStringList, faults);
        QFETCH(QByteArray, image);
        QFETCH(bool, corrupt);
        QFETCH(QString, text);

        if (!product.isNull())
            connect_device(product, version, build, installed, faults);
        window.reset(new MainWindow);
        use_image(image);
        if (corrupt)
            window->image.data[100] ^= 0x5A;
        const QString label = window->ui->label->text();

        Box shown;
        ModalWatcher watcher({record_box(&shown)});
        window->ui->button_fwupdate->click();

        QCOMPARE(watcher.seen(), 1);
        QCOMPARE(shown.title, QStringLiteral("Error"));
        QCOMPARE(shown.text, text);
        QCOMPARE(shown.icon, QMessageBox::Warning);
        QCOMPARE(shown.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(idle_with_button());
        QCOMPARE(window->ui->label->text(), label);
        QCOMPARE(sent(kTagStart), 0);
    }

    // Cases that reach the question; it is cancelled, so nothing is sent.
    void question_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("build");
        QTest::addColumn<QByteArray>("installed");
        QTest::addColumn<QByteArray>("image");      // null: the embedded one
        QTest::addColumn<QString>("chooser");       // "cancel" or "choose" the image first
        QTest::addColumn<bool>("checksumAsked");
        QTest::addColumn<QString>("text");

        const QString form = QStringLiteral("Fimware Update\n\nFrom:\n"
                                            "  product:Qel, version:%1, build:%2\n\nTo:\n"
                                            "  product:Qel, version:%3, build:%4\n\nAre you sure?");
        const QByteArray sound = sound_image("Qel", 102, 31);

        QTest::newRow("newer build, older version")
            << 200 << 10 << QByteArray() << sound_image("Qel", 100, 20) << QString() << true
            << form.arg("2.00", "10", "1.00", "20");
        QTest::newRow("version texts") << 7 << 3 << QByteArray() << sound_image("Qel", 1230, 12)
                                       << QString() << true << form.arg("0.07", "3", "12.30", "12");
        QTest::newRow("older image after a cancelled chooser")
            << 1230 << 40 << QByteArray() << QByteArray() << "cancel" << false
            << form.arg("12.30", "40", "1.02", "31");
        QTest::newRow("installed image after a chosen file")
            << 102 << 31 << sound << sound << "choose" << false
            << form.arg("1.02", "31", "1.02", "31");
    }

    void question()
    {
        QFETCH(int, version);
        QFETCH(int, build);
        QFETCH(QByteArray, installed);
        QFETCH(QByteArray, image);
        QFETCH(QString, chooser);
        QFETCH(bool, checksumAsked);
        QFETCH(QString, text);

        connect_device("Qel", version, build, installed);
        window.reset(new MainWindow);
        if (chooser.isEmpty()) {
            use_image(image);
        } else {
            ModalWatcher watcher({chooser == QLatin1String("choose")
                                      ? choose_file(write_file(dir.path(), "chosen.fw", image))
                                      : ModalWatcher::Handler([](QWidget *) {})});
            QMetaObject::invokeMethod(window.get(), "select_fw_path");
            QCOMPARE(watcher.seen(), 1);
            QVERIFY(!window->version_check);
        }

        Box shown;
        ModalWatcher watcher({record_box(&shown)});
        window->ui->button_fwupdate->click();

        QCOMPARE(watcher.seen(), 1);
        QCOMPARE(shown.title, QStringLiteral("Firmware Update"));
        QCOMPARE(shown.text, text);
        QCOMPARE(shown.icon, QMessageBox::Question);
        QCOMPARE(shown.buttons, QMessageBox::Ok | QMessageBox::Cancel);
        QVERIFY(shown.cancel_is_default);
        QVERIFY(shown.cancel_is_escape);
        QCOMPARE(sent(kTagChecksumRequest), checksumAsked ? 1 : 0);
        QCOMPARE(sent(kTagStart), 0);
        QVERIFY(idle_with_button());
    }

    void keysCancelTheQuestion_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("Enter") << int(Qt::Key_Return);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
        QTest::newRow("Escape") << int(Qt::Key_Escape);
    }

    void keysCancelTheQuestion()
    {
        QFETCH(int, key);

        connect_device("Qel", 101, 31);
        window.reset(new MainWindow);
        const QString label = window->ui->label->text();
        bool closed_by_key = false;
        bool cancelled = false;
        ModalWatcher watcher({[&](QWidget *w) {
            auto *mb = qobject_cast<QMessageBox *>(w);
            if (!mb)
                return;
            QTest::keyClick(mb, Qt::Key(key));
            closed_by_key = !mb->isVisible();
            cancelled = mb->clickedButton() == mb->button(QMessageBox::Cancel);
        }});
        window->ui->button_fwupdate->click();

        QCOMPARE(watcher.seen(), 1);
        QVERIFY(closed_by_key);
        QVERIFY(cancelled);
        QVERIFY(idle_with_button());
        QCOMPARE(window->ui->label->text(), label);
        QCOMPARE(sent(kTagStart), 0);
    }

    void secondUpdateInTheSameWindow()
    {
        connect_device("Qel", 101, 31);
        window.reset(new MainWindow);
        // Bodies of different lengths, so that the second is not already installed.
        const QByteArray images[] = {sound_image("Qel", 103, 1), sound_image("Qel", 104, 2, 1500)};
        for (const QByteArray &image : images) {
            use_image(image);
            Box question;
            QVERIFY(press_and_confirm(&question));
            QCOMPARE(question.title, QStringLiteral("Firmware Update"));
            QVERIFY(updating_with_button());
            QTRY_VERIFY_WITH_TIMEOUT(idle_with_button(), 60000);
            QCOMPARE(window->ui->label->text(), kCompleted);
            QCOMPARE(window->ui->progressBar->value(), image.size());
            QVERIFY(device->installed() == as_vector(image));
        }
        QCOMPARE(sent(kTagStart), 2);
        QCOMPARE(device->version(), uint16_t(104));
    }

    // A chosen file may carry bytes past the end its header declares; the
    // checksum test never saw them, so neither does the device, and the
    // progress runs to the declared end.
    void bytesPastTheDeclaredEndStayBehind()
    {
        connect_device("Qel", 101, 31);
        window.reset(new MainWindow);
        const QByteArray image = sound_image("Qel", 103, 1);
        use_image(image + QByteArray(500, char(0xA5)));
        Box question;
        QVERIFY(press_and_confirm(&question));
        QTRY_VERIFY_WITH_TIMEOUT(idle_with_button(), 60000);
        QCOMPARE(window->ui->label->text(), kCompleted);
        QCOMPARE(window->ui->progressBar->maximum(), image.size());
        QCOMPARE(window->ui->progressBar->value(), image.size());
        QVERIFY(device->installed() == as_vector(image));
    }

    // While the update runs the window neither lets go of its records nor
    // touches the device or the image; the licence can still be read.
    void whileUpdating()
    {
        connect_device("Qel", 101, 31);
        window.reset(new MainWindow);
        window->show();
        target->hold_at(kTagStart, 1);
        Box question;
        QVERIFY(press_and_confirm(&question));
        QTRY_VERIFY(target->held());

        Box shown;
        {
            ModalWatcher watcher({record_box(&shown)});
            QVERIFY(!window->close());
            QCOMPARE(watcher.seen(), 1);
        }
        QCOMPARE(shown.text, QStringLiteral("A firmware update is running. Closing the updater now "
                                            "could leave the device unusable; please wait until it "
                                            "has finished."));
        QVERIFY(window->isVisible());

        {
            ModalWatcher watcher({record_box(&shown)});
            QMetaObject::invokeMethod(window.get(), "select_fw_path");
            QCOMPARE(watcher.seen(), 1);   // the refusal, no file dialog
        }
        QCOMPARE(shown.text, QStringLiteral("A firmware update is running. The firmware file "
                                            "cannot be changed until it has finished."));
        QVERIFY(window->version_check);

        {
            const testchannel::Counters before = testchannel::counters();
            ModalWatcher watcher;
            QMetaObject::invokeMethod(window.get(), "on_button_fwupdate_clicked");
            QCOMPARE(watcher.seen(), 0);
            QCOMPARE(testchannel::counters().open_calls, before.open_calls);
        }

        // The licence dialog stays open while the update goes on behind it
        // and is closed once the update has finished (or after ten seconds).
        QString title;
        bool finished_behind = false;
        QElapsedTimer waited;
        waited.start();
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            title = dialog->windowTitle();
            target->release();
            if (window->update_state == 0 || waited.hasExpired(10000)) {
                finished_behind = window->update_state == 0;
                dialog->reject();
            }
        });
        poll.start(10);
        window->ui->actionAbout->trigger();
        poll.stop();

        QCOMPARE(title, QStringLiteral("License Information"));
        QVERIFY(finished_behind);
        QVERIFY(idle_with_button());
        QCOMPARE(window->ui->label->text(), kCompleted);
        QVERIFY(device->updated());
    }

    // However the window goes while an update runs, it waits for the worker:
    // the update ends with the device written and nothing used after free.
    void destroyedWhileUpdating()
    {
        connect_device("Qel", 101, 31);
        window.reset(new MainWindow);
        target->hold_at(kTagStart, 1);
        Box question;
        QVERIFY(press_and_confirm(&question));
        QTRY_VERIFY(target->held());

        // Queued now, the release can only be delivered by the events that
        // the window's destructor processes while it waits: the worker is
        // still held when the window starts to go, however slow the machine.
        bool released_in_teardown = false;
        QTimer::singleShot(0, this, [&] {
            released_in_teardown = true;
            target->release();
        });
        window.reset();
        const bool updated = device->updated();
        QVERIFY(released_in_teardown);
        QVERIFY(updated);
        QVERIFY(device->installed() == as_vector(embedded_bytes()));
    }

    // The window can go right after an update has ended, its update thread
    // still there and idle: the window must not wait for a thread that
    // nobody will stop.
    void destroyedAfterUpdateEnded()
    {
        connect_device("Qel", 101, 31);
        window.reset(new MainWindow);
        Box question;
        QVERIFY(press_and_confirm(&question));
        QTRY_COMPARE_WITH_TIMEOUT(window->update_state, 0, 60000);
        QThread *raw = &window->session.thread_;
        QVERIFY(raw->isRunning());
        bool thread_ended = false;
        connect(raw, &QThread::finished, this, [&] { thread_ended = true; }, Qt::DirectConnection);

        // Should the window wait forever, the watchdog stops the thread so
        // that the test fails instead of hanging.
        std::atomic<bool> done{false}, rescued{false};
        std::thread watchdog([&] {
            for (int i = 0; i < 1000 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!done) {
                rescued = true;
                raw->quit();
            }
        });
        window.reset();
        done = true;
        watchdog.join();
        QVERIFY(!rescued);
        QVERIFY(thread_ended);
    }

    void companionStop()
    {
        // Only the system directory's task tool is run, never one found by
        // its bare name in the current or the program's folder.
        const QStringList arguments{"/f", "/im", "Qel_SettingsPanel.exe"};
        for (const QString &dir : {QStringLiteral("C:\\Windows\\system32"),
                                   QStringLiteral("C:\\Windows\\system32\\")}) {
            const CompanionStop windows = companion_stop_command_for(true, dir);
            QCOMPARE(windows.program, QStringLiteral("C:\\Windows\\system32\\taskkill.exe"));
            QCOMPARE(windows.arguments, arguments);
        }
        QVERIFY(companion_stop_command_for(true, QString()).program.isEmpty());
        QVERIFY(companion_stop_command_for(false, QStringLiteral("/usr/bin")).program.isEmpty());
#ifdef Q_OS_WIN
        const CompanionStop here = companion_stop_command();
        QVERIFY(QFileInfo(here.program).isAbsolute());
        QVERIFY(here.program.endsWith(QStringLiteral("\\taskkill.exe"), Qt::CaseInsensitive));
        QCOMPARE(here.arguments, arguments);
#endif

#ifndef Q_OS_WIN
        // A stand-in tool on the search path leaves a mark when it is run.
        const QString marker = dir.path() + QStringLiteral("/ran");
        const QString tool = write_file(dir.path(), QStringLiteral("taskkill.exe"),
                                        "#!/bin/sh\n: > '" + marker.toUtf8() + "'\n");
        QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        struct PathGuard {
            QByteArray saved = qgetenv("PATH");
            ~PathGuard() { qputenv("PATH", saved); }
        } path;
        qputenv("PATH", dir.path().toUtf8() + ':' + path.saved);
        QCOMPARE(QProcess::execute(QStringLiteral("taskkill.exe"), {}), 0);
        QVERIFY(QFile::remove(marker));

        QVERIFY(companion_stop_command().program.isEmpty());
        companion_stop();
        window.reset(new MainWindow);
        {
            ModalWatcher watcher;
            window->ui->button_fwupdate->click();   // refused: no device
            QCOMPARE(watcher.seen(), 1);
        }
        QVERIFY(!QFile::exists(marker));
#endif
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_update.moc"
