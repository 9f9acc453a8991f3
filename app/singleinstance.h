// Makes sure that one instance of the updater runs at a time per application
// name. A system-wide semaphore serialises the test-and-mark step between
// processes starting at the same moment; the marker exists exactly as long as
// the instance that made it.
#ifndef APP_SINGLEINSTANCE_H
#define APP_SINGLEINSTANCE_H

#include <QString>
#include <QSystemSemaphore>
#include <QtGlobal>
#ifdef Q_OS_WIN
#include <QSharedMemory>
#endif

class SingleInstance {
public:
    // Tests for another instance under name and, when there is none, marks
    // this one as running until the object is destroyed.
    explicit SingleInstance(const QString &name);
    ~SingleInstance();

    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    bool another_running() const { return another_running_; }

private:
    // Declared first, so that the marker goes before the semaphore handle.
    QSystemSemaphore semaphore_;
#ifdef Q_OS_WIN
    // Windows removes the segment with its last handle, a crash included.
    QSharedMemory marker_;
#else
    // Elsewhere a shared-memory segment outlives a killed owner and would
    // block every later start, so the marker is a lock on a file: the kernel
    // drops it when the process ends, however it ends.
    int lock_fd_ = -1;
#endif
    bool another_running_ = false;
};

#ifndef Q_OS_WIN
// The directory that holds the marker files outside Windows: the user's
// runtime directory, or a private per-user directory under the temporary
// directory. Empty when no safe directory can be had.
QString single_instance_marker_dir();
#endif

#endif
