#include "output.h"

#include <QByteArray>
#include <QJsonDocument>

#include "console.h"
#include "textescape.h"
#include "ustrace.h"

namespace fwtool {

namespace {

std::FILE *g_log = nullptr;

// Each piece goes out at once, so that the log holds the trace up to the
// moment the program ended, however it ended.
void to_log(const char *text, size_t length)
{
    std::fwrite(text, 1, length, g_log);
    std::fflush(g_log);
}

void write_bytes(Stream stream, const QByteArray &bytes)
{
    write_raw(stream, bytes.constData(), size_t(bytes.size()));
}

} // namespace

bool divert_trace(const std::string &log_path)
{
    if (log_path.empty()) {
        us_set_trace(&us_trace_discard);
        return true;
    }
    std::FILE *log = create_text_file(log_path);
    if (!log)
        return false;
    us_set_trace(&to_log);
    if (g_log)
        std::fclose(g_log);
    g_log = log;
    return true;
}

void out_line(const QString &text)
{
    write_bytes(Stream::Out, (text + QLatin1Char('\n')).toUtf8());
}

void out_json(const QJsonObject &object)
{
    write_bytes(Stream::Out, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void err_line(const QString &text)
{
    write_bytes(Stream::Err, (text + QLatin1Char('\n')).toUtf8());
}

void err_text(const QString &text)
{
    write_bytes(Stream::Err, text.toUtf8());
}

QString shown(const std::string &bytes)
{
    return QString::fromStdString(escape_terminal_text(bytes));
}

} // namespace fwtool
