#include "output.h"

#include <QByteArray>
#include <QJsonDocument>

#include "console.h"
#include "textescape.h"

namespace fwtool {

namespace {

void write_bytes(Stream stream, const QByteArray &bytes)
{
    write_raw(stream, bytes.constData(), size_t(bytes.size()));
}

} // namespace

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
