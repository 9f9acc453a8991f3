#include "mainwindow.h"

#include <cstdio>
#include <string>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QEventLoop>
#include <QTextBrowser>
#include <QTextStream>
#include <QVBoxLayout>

#include "companion.h"
#include "report.h"
#include "firmwareimage.h"
#include "updatepolicy.h"
#include "versiontext.h"

namespace {

const char kEmbeddedImage[] = ":/res/update.bin";

// on_timer, on_finish, on_processtext and on_error are wired up when an update
// starts, so connecting by name finds no signal for them; that is expected and
// not worth a warning on every start.
QtMessageHandler g_previous_handler = nullptr;

void drop_unmatched_slot_warnings(QtMsgType type, const QMessageLogContext &context,
                                  const QString &message)
{
    if (type == QtWarningMsg
        && message.startsWith(QLatin1String("QMetaObject::connectSlotsByName: No matching signal for ")))
        return;
    if (g_previous_handler)
        g_previous_handler(type, context, message);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new MainWindowUi()),
      timer(),
      dev(),
      update_state(0),
      version_check(true),
      fw_path(QString::fromLatin1(kEmbeddedImage)),
      job{},
      image{}
{
    setup_ui();

    g_previous_handler = qInstallMessageHandler(drop_unmatched_slot_warnings);
    QMetaObject::connectSlotsByName(this);
    qInstallMessageHandler(g_previous_handler);

    load_fw(fw_path);

    // Not a slot: the window's meta-object keeps the methods it always had.
    connect(ui->actionSaveReport, &QAction::triggered, this, [this] { save_report(); });
    connect(&timer, &QTimer::timeout, this, &MainWindow::on_timer);
    connect(&session, &UpdateSession::text, this, &MainWindow::on_processtext);
    connect(&session, &UpdateSession::error, this, &MainWindow::on_error);
    // Before on_finish, which may close the window.
    connect(&session, &UpdateSession::finished, this, [this](const UpdateOutcome &outcome) {
        end_attempt(outcome.installed ? QStringLiteral("updated") : QStringLiteral("failed"),
                    outcome.installed ? US_CAUSE_NONE : outcome.cause, outcome.text);
    });
    connect(&session, &UpdateSession::finished, this, &MainWindow::on_finish);

    new QShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_F), this, SLOT(select_fw_path()),
                  nullptr, Qt::WindowShortcut);
}

MainWindow::~MainWindow()
{
    // The worker uses job, image and dev until it has finished, so they must
    // outlive it however the program ends; its last reports are delivered
    // here, so that the lock and the blocks are let go as after any update.
    if (session.running()) {
        QEventLoop until_finished;
        connect(&session, &UpdateSession::finished, &until_finished, &QEventLoop::quit);
        until_finished.exec();
    }
    delete ui;
}

void MainWindow::setup_ui()
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("MainWindow"));
    resize(320, 240);
    setMinimumSize(QSize(320, 240));
    setMaximumSize(QSize(320, 240));

    ui->actionAbout = new QAction(this);
    ui->actionAbout->setObjectName(QStringLiteral("actionAbout"));
    ui->actionSaveReport = new QAction(this);
    ui->actionSaveReport->setObjectName(QStringLiteral("actionSaveReport"));

    ui->centralWidget = new QWidget(this);
    ui->centralWidget->setObjectName(QStringLiteral("centralWidget"));
    ui->label = new QLabel(ui->centralWidget);
    ui->label->setObjectName(QStringLiteral("label"));
    ui->label->setGeometry(QRect(10, 10, 301, 61));
    ui->label->setAlignment(Qt::AlignCenter);
    // Product names come from files and devices; one that looks like markup
    // must still be shown as it is.
    ui->label->setTextFormat(Qt::PlainText);
    ui->button_fwupdate = new QPushButton(ui->centralWidget);
    ui->button_fwupdate->setObjectName(QStringLiteral("button_fwupdate"));
    ui->button_fwupdate->setGeometry(QRect(23, 140, 271, 32));
    ui->progressBar = new QProgressBar(ui->centralWidget);
    ui->progressBar->setObjectName(QStringLiteral("progressBar"));
    ui->progressBar->setGeometry(QRect(60, 90, 221, 41));
    ui->progressBar->setValue(0);
    setCentralWidget(ui->centralWidget);

    ui->menuBar = new QMenuBar(this);
    ui->menuBar->setObjectName(QStringLiteral("menuBar"));
    ui->menuBar->setGeometry(QRect(0, 0, 320, 24));
    ui->menuFile = new QMenu(ui->menuBar);
    ui->menuFile->setObjectName(QStringLiteral("menuFile"));
    setMenuBar(ui->menuBar);
    ui->menuBar->addAction(ui->menuFile->menuAction());
    ui->menuFile->addAction(ui->actionAbout);
    ui->menuFile->addAction(ui->actionSaveReport);

    retranslate_ui();
}

void MainWindow::retranslate_ui()
{
    setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow"));
    ui->actionAbout->setText(QCoreApplication::translate("MainWindow", "About"));
    ui->actionSaveReport->setText(QCoreApplication::translate("MainWindow", "Save Diagnostic Report..."));
    ui->button_fwupdate->setText(QCoreApplication::translate("MainWindow", "Firmware Update"));
    ui->menuFile->setTitle(QCoreApplication::translate("MainWindow", "Help"));
}

bool MainWindow::load_fw(const QString &path)
{
    // Straight into the image buffer. Only a regular file that fits is read,
    // without waiting to open it: a named pipe chosen in the file dialog must
    // not hang the window. Whatever fails keeps the open-error path: the
    // caller falls back to the embedded image.
    FirmwareImage fw;
    if (!fw.load(path, image.data, FW_IMAGE_CAPACITY))
        return false;
    image.size = fw.length();

    if (!fw.has_header())
        return false;
    // The update takes the header from the device object.
    dev.set_fw_image(image.data);
    if (!fw.sound()) {
        QMessageBox::warning(this, tr("Error"), tr("Checksum Error: %1").arg(path), QMessageBox::Ok);
        return false;
    }
    std::string product;
    if (!fw.product(&product)) {
        QMessageBox::warning(this, tr("Error"), tr("Cannot get product name: %1").arg(path),
                             QMessageBox::Ok);
        return false;
    }
    // One multi-argument arg(): a product name holding "%2" stays as it is.
    ui->label->setText(tr("%1 Firmware Updater\n\nTo %2, build %3")
                           .arg(QString::fromUtf8(product.data(), int(product.size())),
                                version_text(fw.version()), QString::number(fw.build())));
    return true;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (update_state != 0) {
        event->ignore();
        QMessageBox::warning(this, tr("Error"),
                             tr("A firmware update is running. Closing the updater now could "
                                "leave the device unusable; please wait until it has finished."),
                             QMessageBox::Ok);
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::refuse(const QString &text)
{
    QMessageBox::warning(this, tr("Error"), text, QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::end_attempt(const QString &result, int cause, const QString &text)
{
    if (!attempt)
        return;
    const QString said = attempt->warning();
    attempt->finish(result, cause, text);
    // No dialog for it: a record that cannot be kept is no reason to stop anyone.
    if (attempt->warning() != said && !attempt->warning().isEmpty())
        qWarning("%s", qPrintable(attempt->warning()));
    attempt.reset();
}

void MainWindow::on_button_fwupdate_clicked()
{
    if (update_state != 0)
        return;

    companion_stop();

    dev.set_fw_image(image.data);
    if (!UsDevice::check_fw_image(image.data, image.size))
        return refuse(tr("Checksum Error: %1").arg(fw_path));
    std::string fw_product;
    if (!dev.get_fw_product(fw_product))
        return refuse(tr("Cannot get product name: %1").arg(fw_path));
    const uint16_t fw_version = dev.get_fw_version();
    const uint16_t fw_build = dev.get_fw_build();
    const QString fw_version_text = version_text(fw_version);
    const QString fw_build_text = QString::number(fw_build);

    if (!dev.open())
        return refuse(tr("Supported hardware is not connected."));
    // From here on the attempt concerns a device: its traffic and its outcome
    // are kept, whatever the outcome.
    attempt.reset(new records::UpdateRecord(QStringLiteral("QelUpdater"),
                                            QCoreApplication::applicationVersion(),
                                            QString::fromStdString(dev.name())));
    if (!attempt->warning().isEmpty())
        qWarning("%s", qPrintable(attempt->warning()));
    attempt->set_to(fw_version, fw_build,
                    fw_path == QLatin1String(kEmbeddedImage) ? QStringLiteral("embedded")
                                                             : QFileInfo(fw_path).absoluteFilePath());
    const auto ended = [this](const QString &text, const char *result, int cause) {
        end_attempt(QLatin1String(result), cause, text);
        refuse(text);
    };
    // Before anything is read from the device: a program that is updating it
    // must not have its transfer interleaved with our questions. Kept only
    // when the update starts; every other way out of here gives it back.
    struct KeepOnlyWhenStarted {
        UpdateLock &lock;
        bool started = false;
        ~KeepOnlyWhenStarted()
        {
            if (!started)
                lock.release();
        }
    } lock_guard{update_lock};
    switch (update_lock.take(dev.path())) {
    case UpdateLock::Busy:
        return ended(tr("The device is being updated by another program."), "busy", US_CAUSE_NONE);
    case UpdateLock::Unavailable:
        // Said only where a lock file was to be had: a path that names no
        // registry directory has none to take.
        if (!UpdateLock::path_for(dev.path()).empty())
            qDebug("The device's update lock cannot be had (error %lu); updating without it",
                   update_lock.error());
        break;
    default:
        break;
    }
    FirmwareIdentity fw_identity;
    fw_identity.product = fw_product;
    fw_identity.version = fw_version;
    fw_identity.build = fw_build;
    const UpdateDecision decision = decide_update(
        dev, fw_identity, version_check ? UpdateChecks::All : UpdateChecks::SkipVersionAndInstalled);
    const std::string &hw_product = decision.device.product;
    const QString hw_version_text = version_text(decision.device.version);
    const QString hw_build_text = QString::number(decision.device.build);
    if (!hw_product.empty())
        attempt->set_product(QString::fromStdString(hw_product));
    // Only what the device told counts as where the update started from.
    if (decision.verdict != UpdateVerdict::NoDeviceProduct
        && decision.verdict != UpdateVerdict::NoDeviceVersion
        && decision.verdict != UpdateVerdict::NoDeviceBuild)
        attempt->set_from(decision.device.version, decision.device.build);
    switch (decision.verdict) {
    case UpdateVerdict::Proceed:
        break;
    case UpdateVerdict::NoDeviceProduct:
        return ended(tr("Cannot get connected hardware product"), "failed", dev.cause());
    case UpdateVerdict::NoDeviceVersion:
        return ended(tr("Cannot get connected hardware version"), "failed", dev.cause());
    case UpdateVerdict::NoDeviceBuild:
        return ended(tr("Cannot get connected hardware build"), "failed", dev.cause());
    case UpdateVerdict::ProductMismatch:
        return ended(tr("Product is not matching"), "refused", US_CAUSE_NONE);
    case UpdateVerdict::NotNewer:
        return ended(tr("Cannot downgrade from %1 to %2").arg(hw_version_text, fw_version_text),
                     "refused", US_CAUSE_NONE);
    case UpdateVerdict::NoDeviceChecksum:
        return ended(tr("Cannot get hardware checksum"), "failed", dev.cause());
    case UpdateVerdict::AlreadyInstalled:
        return ended(tr("Already updated."), "refused", US_CAUSE_NONE);
    }

    const QString question = QStringLiteral("Fimware Update\n\n") + QStringLiteral("From:\n")
        + QStringLiteral("  product:") + QString::fromStdString(hw_product)
        + QStringLiteral(", ") + QStringLiteral("version:") + hw_version_text
        + QStringLiteral(", ") + QStringLiteral("build:") + hw_build_text
        + QStringLiteral("\n") + QStringLiteral("\n")
        + QStringLiteral("To:\n")
        + QStringLiteral("  product:") + QString::fromStdString(fw_product)
        + QStringLiteral(", ") + QStringLiteral("version:") + fw_version_text
        + QStringLiteral(", ") + QStringLiteral("build:") + fw_build_text
        + QStringLiteral("\n") + QStringLiteral("\n")
        + QStringLiteral("Are you sure?");
    // OK and Cancel, with Cancel taking both Enter and Escape: starting an
    // update has to be a deliberate choice.
    QMessageBox box(QMessageBox::Question, tr("Firmware Update"), question,
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel);
    box.setEscapeButton(QMessageBox::Cancel);
    if (box.exec() != QMessageBox::Ok) {
        end_attempt(QStringLiteral("declined"), US_CAUSE_NONE, tr("Declined."));
        return;
    }

    image.device = &dev;
    job.image = &image;
    job.pos = 0;
    update_state = 1;
    lock_guard.started = true;
    shutdown_block.reset(new ShutdownBlock(winId()));
    // The progress runs to the declared end, where the transfer stops.
    job.total = int(dev.get_fw_size());

    ui->button_fwupdate->setEnabled(false);
    ui->button_fwupdate->setText(tr("Updating..."));

    timer.start(100);
    session.start(&job);
}

void MainWindow::show_progress()
{
    // The bar ignores a value above its maximum, so the maximum goes first.
    if (ui->progressBar->maximum() != job.total)
        ui->progressBar->setMaximum(job.total);
    ui->progressBar->setValue(int(job.pos.load()));
}

void MainWindow::on_timer()
{
    show_progress();
}

void MainWindow::on_finish()
{
    timer.stop();
    show_progress();
    update_state = 0;
    update_lock.release();
    shutdown_block.reset();
    ui->button_fwupdate->setEnabled(true);
    ui->button_fwupdate->setText(QCoreApplication::translate("MainWindow", "Firmware Update"));
    if (close_after_update) {
        close_after_update = false;
        close();
        if (closed_on_request)
            closed_on_request();
    }
}

void MainWindow::stop_requested()
{
    if (update_state != 0) {
        close_after_update = true;
        std::fputs("An update is running; it will finish by itself.\n", stderr);
        std::fflush(stderr);
        return;
    }
    close();
    if (closed_on_request)
        closed_on_request();
}

void MainWindow::on_actionAbout_triggered()
{
    QFile file(QStringLiteral(":/res/LICENSE.txt"));
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Open Error";
        QMessageBox::warning(this, tr("File Missing!"),
                             tr("There is a possibility that the file has been moved or deleted."),
                             QMessageBox::Ok);
        qDebug() << QDir(QDir::currentPath());
        qDebug() << QDir(QDir::homePath());
        qDebug() << QDir(QDir::rootPath());
        return;
    }
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    QString text = stream.readAll();
    // The notice keeps the page breaks of the licence texts; a browser has no pages.
    text.remove(QChar(0x0C));

    QDialog dialog;
    dialog.setWindowTitle(tr("License Information"));
    dialog.setFixedSize(650, 400);
    auto *layout = new QVBoxLayout;
    auto *browser = new QTextBrowser;
    layout->addWidget(browser);
    dialog.setLayout(layout);
    browser->setText(text);
    dialog.exec();
}

void MainWindow::save_report()
{
    const QString suggested = QDir::home().filePath(
        records::default_report_name(QDateTime::currentDateTimeUtc()));
    const QString path = QFileDialog::getSaveFileName(this, tr("Save Diagnostic Report"), suggested,
                                                      tr("JSON files (*.json)"));
    if (path.isEmpty())
        return;
    // The version main() gave the application, as the program's own.
    QString reason;
    if (!records::save_report(path, QStringLiteral("QelUpdater"),
                              QCoreApplication::applicationVersion(), &reason))
        QMessageBox::warning(this, tr("Error"), tr("The diagnostic report cannot be saved: %1").arg(reason),
                             QMessageBox::Ok);
}

void MainWindow::on_processtext(QString text)
{
    ui->label->setText(text);
}

void MainWindow::on_error(QString error)
{
    ui->label->setText(error);
}

void MainWindow::select_fw_path()
{
    // The worker is sending image.data right now; it must not change under it.
    if (update_state != 0) {
        QMessageBox::warning(this, tr("Error"),
                             tr("A firmware update is running. The firmware file cannot be "
                                "changed until it has finished."),
                             QMessageBox::Ok);
        return;
    }

    const QString name = QFileDialog::getOpenFileName(this, tr("Open File"), QStringLiteral("."),
                                                      tr("Firmware (*)"));
    version_check = false;
    if (!name.isEmpty()) {
        fw_path = name;
        if (load_fw(fw_path))
            return;
    }
    fw_path = QString::fromLatin1(kEmbeddedImage);
    load_fw(fw_path);
}
