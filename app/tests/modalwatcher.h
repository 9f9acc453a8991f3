// Deals with the modal dialogs that the code under test opens and then waits
// in: the n-th handler gets the n-th modal widget; a modal widget that no
// handler closes, or that comes after the last handler, is rejected, so a
// test never hangs. seen() tells how many there were.
#ifndef APP_TESTS_MODALWATCHER_H
#define APP_TESTS_MODALWATCHER_H

#include <functional>
#include <utility>
#include <vector>

#include <QApplication>
#include <QDialog>
#include <QObject>
#include <QTimer>
#include <QWidget>

class ModalWatcher : public QObject {
public:
    using Handler = std::function<void(QWidget *)>;

    explicit ModalWatcher(std::vector<Handler> handlers = {})
        : handlers_(std::move(handlers))
    {
        connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start(10);
    }

    int seen() const { return seen_; }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        const size_t index = size_t(seen_++);
        if (index < handlers_.size())
            handlers_[index](modal);
        if (modal->isVisible()) {
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            else
                modal->close();
        }
    }

    std::vector<Handler> handlers_;
    QTimer timer_;
    int seen_ = 0;
};

#endif
