// Handlers for ModalWatcher: they read or answer the boxes and the file
// dialog that the window opens, as a user would.
#ifndef APP_TESTS_DIALOGHANDLERS_H
#define APP_TESTS_DIALOGHANDLERS_H

#include <QAbstractButton>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

#include "modalwatcher.h"

// What a message box showed.
struct Box {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool cancel_is_default = false;
    bool cancel_is_escape = false;
};

inline void note(QMessageBox *mb, Box *box)
{
    box->title = mb->windowTitle();
    box->text = mb->text();
    box->icon = mb->icon();
    box->buttons = mb->standardButtons();
    QAbstractButton *cancel = mb->button(QMessageBox::Cancel);
    box->cancel_is_default = cancel && mb->defaultButton() == cancel;
    box->cancel_is_escape = cancel && mb->escapeButton() == cancel;
}

// Records the box; the watcher then closes it.
inline ModalWatcher::Handler record_box(Box *box)
{
    return [box](QWidget *w) {
        if (auto *mb = qobject_cast<QMessageBox *>(w))
            note(mb, box);
    };
}

// Records the question box and answers it with OK.
inline ModalWatcher::Handler confirm(Box *box)
{
    return [box](QWidget *w) {
        if (auto *mb = qobject_cast<QMessageBox *>(w)) {
            note(mb, box);
            if (QAbstractButton *ok = mb->button(QMessageBox::Ok))
                ok->click();
        }
    };
}

// Chooses path in the file dialog.
inline ModalWatcher::Handler choose_file(const QString &path)
{
    return [path](QWidget *w) {
        if (auto *fd = qobject_cast<QFileDialog *>(w)) {
            // Typed as a user would: selectFile() leaves the name field alone
            // while it has the focus.
            if (auto *name = fd->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                name->setText(path);
            else
                fd->selectFile(path);
            static_cast<QDialog *>(fd)->accept();
        }
    };
}

#endif
