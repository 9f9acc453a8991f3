#include "output.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>

#include "textescape.h"

namespace fwtool {

namespace {

int g_out = STDOUT_FILENO;

void write_all(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;   // a closed pipe is no reason to stop an update
        p += n;
        left -= size_t(n);
    }
}

} // namespace

bool divert_trace(const std::string &log_path)
{
    std::fflush(stdout);
    const char *target = log_path.empty() ? "/dev/null" : log_path.c_str();
    const int fd = ::open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const int copy = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (copy < 0 || ::dup2(fd, STDOUT_FILENO) < 0) {
        ::close(fd);
        if (copy >= 0)
            ::close(copy);
        return false;
    }
    ::close(fd);
    g_out = copy;
    // The trace reaches the log line by line, also when the program ends
    // without running the C library's exit handlers.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return true;
}

void out_line(const QString &text)
{
    write_all(g_out, (text + QLatin1Char('\n')).toUtf8());
}

void out_json(const QJsonObject &object)
{
    write_all(g_out, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void err_line(const QString &text)
{
    write_all(STDERR_FILENO, (text + QLatin1Char('\n')).toUtf8());
}

void err_text(const QString &text)
{
    write_all(STDERR_FILENO, text.toUtf8());
}

QString shown(const std::string &bytes)
{
    return QString::fromStdString(escape_terminal_text(bytes));
}

} // namespace fwtool
