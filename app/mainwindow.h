// The updater's only window: status label, progress bar, the update button and
// the Help menu. It owns all state of a run: the device object, the image
// buffer, the progress record shared with the update worker and the image path.
#ifndef APP_MAINWINDOW_H
#define APP_MAINWINDOW_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include "fwimage.h"
#include "shutdownblock.h"
#include "updatelock.h"
#include "updaterecord.h"
#include "updatesession.h"
#include "usdevice.h"

class QAction;
class QCloseEvent;
class QLabel;
class QMenu;
class QMenuBar;
class QProgressBar;
class QPushButton;

class QWidget;

// The window's widgets; all of them belong to the window's widget tree.
struct MainWindowUi {
    QAction *actionAbout;
    QAction *actionSaveReport;
    QWidget *centralWidget;
    QLabel *label;
    QPushButton *button_fwupdate;
    QProgressBar *progressBar;
    QMenuBar *menuBar;
    QMenu *menuFile;
};

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    bool load_fw(const QString &path);

    // Someone asked the program to end (a signal). While idle it ends as a
    // close of the window would; while an update runs it is refused with one
    // line on stderr, and the window closes itself once the update has ended.
    // Neither a slot nor a signal: the window's slots are reached by index,
    // so its meta-object keeps the methods it always had.
    void stop_requested();
    // Called once the window has closed because it was asked to; the program
    // may end then.
    std::function<void()> closed_on_request;

protected:
    // Closing while an update runs would free the records the worker is using.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_button_fwupdate_clicked();
    void on_timer();
    void on_finish();
    void on_actionAbout_triggered();
    void on_processtext(QString text);
    void on_error(QString error);
    void select_fw_path();

private:
    void setup_ui();
    void retranslate_ui();
    void show_progress();
    void refuse(const QString &text);
    void save_report();
    // Ends the attempt's record; result as the history words it.
    void end_attempt(const QString &result, int cause, const QString &text);

    MainWindowUi *ui;
    QTimer timer;
    UsDevice dev;
    int update_state;
    bool version_check;
    QString fw_path;
    FWUpdateJob job;
    FWImage image;
    // After the records it works on, so that it goes first: its end waits
    // for a running update.
    UpdateSession session;
    // Taken before the device is first asked anything, held until the
    // update has ended, so that no other program writes to it meanwhile.
    UpdateLock update_lock;
    std::unique_ptr<ShutdownBlock> shutdown_block;
    // The running attempt's record, from the device's opening to its end.
    std::unique_ptr<records::UpdateRecord> attempt;
    bool close_after_update = false;

    friend class MainWindowTest;
};

#endif
