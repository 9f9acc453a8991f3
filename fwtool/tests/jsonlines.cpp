// Test helper: stdin must be JSON Lines, every line one object and nothing
// else (exit 1 otherwise). With KEY arguments, prints for each line the
// values of those keys, separated by blanks ("-" for an absent key).
#include <cstdio>
#include <iostream>
#include <string>

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

int main(int argc, char **argv)
{
    std::string line;
    int lines = 0;
    while (std::getline(std::cin, line)) {
        ++lines;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            std::fprintf(stderr, "line %d is not a JSON object: %s\n", lines, line.c_str());
            return 1;
        }
        if (argc < 2)
            continue;
        const QJsonObject o = doc.object();
        std::string out;
        for (int i = 1; i < argc; ++i) {
            const QJsonValue v = o.value(QLatin1String(argv[i]));
            std::string text;
            if (v.isUndefined())
                text = "-";
            else if (v.isString())
                text = v.toString().toStdString();
            else if (v.isNull())
                text = "null";
            else if (v.isBool())
                text = v.toBool() ? "true" : "false";
            else
                text = std::to_string(qint64(v.toDouble()));
            out += (i > 1 ? " " : "") + text;
        }
        std::printf("%s\n", out.c_str());
    }
    return 0;
}
