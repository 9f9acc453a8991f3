#include "history.h"

#include <cmath>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include "statefolder_os.h"

namespace records {

namespace {

// QJsonObject sorts its keys; a line people read keeps the order they
// expect, so the fields are joined by hand and only values are Qt's.
class OrderedObject {
public:
    OrderedObject &add(const char *key, const QByteArray &json)
    {
        text_ += text_.isEmpty() ? '{' : ',';
        text_ += '"';
        text_ += key;
        text_ += "\":";
        text_ += json;
        return *this;
    }
    OrderedObject &add(const char *key, const QString &value)
    {
        return add(key, value.isNull() ? QByteArray("null") : string_json(value));
    }
    OrderedObject &add(const char *key, unsigned value) { return add(key, QByteArray::number(value)); }
    QByteArray done() const { return text_.isEmpty() ? QByteArray("{}") : text_ + '}'; }

private:
    static QByteArray string_json(const QString &value)
    {
        // The one string in an array, written by Qt, without the brackets.
        const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        return array.mid(1, array.size() - 2);
    }

    QByteArray text_;
};

} // namespace

QString version_text(unsigned version)
{
    return QStringLiteral("%1.%2").arg(version / 100).arg(version % 100, 2, 10, QLatin1Char('0'));
}

QByteArray history_line(const HistoryRecord &r)
{
    OrderedObject line;
    line.add("time", r.time.toUTC().toString(Qt::ISODateWithMs))
        .add("program", r.program)
        .add("device", r.device)
        .add("product", r.product);
    if (r.has_from)
        line.add("from", OrderedObject()
                             .add("version", version_text(r.from_version))
                             .add("build", r.from_build)
                             .done());
    else
        line.add("from", QByteArray("null"));
    if (r.has_to)
        line.add("to", OrderedObject()
                           .add("version", version_text(r.to_version))
                           .add("build", r.to_build)
                           .add("image", r.to_image.isNull() ? QString(QLatin1String("")) : r.to_image)
                           .done());
    else
        line.add("to", QByteArray("null"));
    line.add("result", r.result)
        .add("cause", r.cause)
        .add("text", r.text.isNull() ? QString(QLatin1String("")) : r.text)
        .add("seconds", QByteArray::number(std::isfinite(r.seconds) && r.seconds > 0 ? r.seconds : 0.0, 'f', 3))
        .add("trace", r.trace);
    return line.done() + '\n';
}

bool append_history(const QString &path, const HistoryRecord &record, QString *reason)
{
    return os::append_once(path, history_line(record), reason);
}

QVector<QJsonObject> read_json_lines(const QString &path, bool *cut)
{
    QVector<QJsonObject> objects;
    if (cut)
        *cut = false;
    if (!QFileInfo(path).isFile())
        return objects;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return objects;
    while (!file.atEnd()) {
        if (file.pos() >= kReadLimit) {
            if (cut)
                *cut = true;
            break;
        }
        const QByteArray line = file.readLine(kReadLimit).trimmed();
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error == QJsonParseError::NoError && doc.isObject())
            objects.append(doc.object());
    }
    return objects;
}

} // namespace records
