// What keeps an update from being cut off by what goes on around the window:
// another program updating the same device, a request to end the program,
// and the system asked to end the session.
#include <memory>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "devicetarget.h"
#include "dialoghandlers.h"
#include "mainwindow.h"
#include "modalwatcher.h"
#include "otherholder.h"
#include "shutdownblock.h"
#include "testchannel.h"
#include "testimages.h"
#include "virtualclock.h"

#ifdef Q_OS_WIN
#include <windows.h>

#include <QAbstractEventDispatcher>
#endif

namespace {

const uint8_t kTagStart = 33;
const QString kBusy = QStringLiteral("The device is being updated by another program.");

// Whether the program would let the session end now: asked as Windows asks
// before a logout or shutdown, through the filters every message passes.
bool lets_session_end()
{
#ifdef Q_OS_WIN
    MSG msg = {};
    msg.message = WM_QUERYENDSESSION;
    long result = TRUE;
    const bool answered = QAbstractEventDispatcher::instance()->filterNativeEvent(
        QByteArrayLiteral("windows_generic_MSG"), &msg, &result);
    return !answered || result != FALSE;
#else
    return !ShutdownBlock::any();
#endif
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    VirtualClock clock;
    QTemporaryDir dir;
    std::basic_string<usbdevs_char> device_path;
    std::unique_ptr<qel::Device> device;
    std::unique_ptr<DeviceTarget> target;
    std::unique_ptr<testchannel::Attached> attached;
    std::unique_ptr<MainWindow> window;

    void connect_device()
    {
        qel::DeviceConfig cfg;
        cfg.clock_us = [] { return VirtualClock::now_ms() * 1000; };
        cfg.product = "Qel";
        cfg.version = 101;
        cfg.build = 31;
        cfg.identity_from_image = false;
        device.reset(new qel::Device(cfg));
        target.reset(new DeviceTarget(*device));
        attached.reset(new testchannel::Attached(*target));
    }

    bool idle_with_button() const
    {
        return window->update_state == 0 && window->ui->button_fwupdate->isEnabled();
    }

    // Starts an update that stops at its first message until released.
    bool start_held_update()
    {
        target->hold_at(kTagStart, 1);
        Box question;
        ModalWatcher watcher({confirm(&question)});
        window->ui->button_fwupdate->click();
        return watcher.seen() == 1 && window->update_state == 1;
    }

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(dir.isValid());
        // The test channel's device gets a registry directory of its own, so
        // that its update lock is a real file.
#ifdef Q_OS_WIN
        const QString path = QStringLiteral("\\\\?\\ROOT#QELTEST#%1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global")
                                 .arg(QCoreApplication::applicationPid());
#else
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("dev/render")));
        const QString path = dir.path() + QStringLiteral("/dev/render/global");
#endif
        QVERIFY(testchannel::set_path(path.toStdString()));
        device_path.assign(reinterpret_cast<const usbdevs_char *>(
#ifdef Q_OS_WIN
                               path.utf16()
#else
                               path.toUtf8().constData()
#endif
                                   ),
                           size_t(path.size()));
    }

    void cleanupTestCase()
    {
        testchannel::set_path(std::string());
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

    // A device another program is updating is not asked anything at all.
    void busyDeviceIsLeftAlone()
    {
        connect_device();
        window.reset(new MainWindow);
        OtherHolder other;
        QVERIFY(other.hold(device_path.c_str()));
        const QString label = window->ui->label->text();

        Box shown;
        {
            ModalWatcher watcher({record_box(&shown)});
            window->ui->button_fwupdate->click();
            QCOMPARE(watcher.seen(), 1);
        }
        QCOMPARE(shown.title, QStringLiteral("Error"));
        QCOMPARE(shown.text, kBusy);
        QCOMPARE(shown.icon, QMessageBox::Warning);
        QCOMPARE(testchannel::counters().reads + testchannel::counters().writes, 0u);
        QVERIFY(idle_with_button());
        QCOMPARE(window->ui->label->text(), label);

        // Once the other program has finished, the device is ours again.
        other.release();
        QVERIFY(start_held_update());
        target->release();
        QTRY_VERIFY_WITH_TIMEOUT(idle_with_button(), 60000);
        QVERIFY(device->updated());
    }

    // The lock is ours from the first question to the device until the
    // update has ended, and not a moment longer; a declined update gives it
    // back at once.
    void lockHeldForTheWholeUpdate()
    {
        connect_device();
        window.reset(new MainWindow);
        {
            ModalWatcher watcher({[](QWidget *w) {
                if (auto *mb = qobject_cast<QMessageBox *>(w))
                    mb->button(QMessageBox::Cancel)->click();
            }});
            window->ui->button_fwupdate->click();
            QCOMPARE(watcher.seen(), 1);
        }
        QCOMPARE(OtherHolder::probe(device_path.c_str()), UpdateLock::Held);

        QVERIFY(lets_session_end());
        QVERIFY(start_held_update());
        QTRY_VERIFY(target->held());
        QCOMPARE(OtherHolder::probe(device_path.c_str()), UpdateLock::Busy);
        QVERIFY(!lets_session_end());
        target->release();
        QTRY_VERIFY_WITH_TIMEOUT(idle_with_button(), 60000);
        QVERIFY(device->updated());
        QCOMPARE(OtherHolder::probe(device_path.c_str()), UpdateLock::Held);
        QVERIFY(lets_session_end());
    }

    // A program without a window of its own (the console updater) is asked
    // through a hidden one, which says no for as long as the block lives.
    void programWithoutWindow()
    {
        {
            const ShutdownBlock block;
#ifdef Q_OS_WIN
            const HWND hidden = reinterpret_cast<HWND>(block.hidden_window());
            QVERIFY(hidden);
            QVERIFY(!IsWindowVisible(hidden));
            QCOMPARE(SendMessageW(hidden, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), LRESULT(FALSE));
#endif
            QVERIFY(!lets_session_end());
        }
        QVERIFY(lets_session_end());
    }

    // Asked to end while idle, the window goes at once; while updating it
    // stays until the update has ended, then goes by itself.
    void stopRequests()
    {
        connect_device();
        window.reset(new MainWindow);
        window->show();
        int closed = 0;
        window->closed_on_request = [&closed] { ++closed; };
        window->stop_requested();
        QCOMPARE(closed, 1);
        QVERIFY(!window->isVisible());

        window.reset(new MainWindow);
        window->show();
        int closed_later = 0;
        window->closed_on_request = [&closed_later] { ++closed_later; };
        QVERIFY(start_held_update());
        QTRY_VERIFY(target->held());
        window->stop_requested();
        window->stop_requested();
        QCOMPARE(closed_later, 0);
        QVERIFY(window->isVisible());
        target->release();
        QTRY_COMPARE_WITH_TIMEOUT(closed_later, 1, 60000);
        QVERIFY(!window->isVisible());
        QVERIFY(device->updated());
        QCOMPARE(device->installed().size(), size_t(embedded_bytes().size()));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_updateguard.moc"
