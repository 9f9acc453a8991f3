#include "imagecmds.h"

#include <cstdio>

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include "console.h"
#include "firmwareimage.h"
#include "output.h"
#include "prgdecode.h"
#include "versiontext.h"

namespace fwtool {

namespace {

// check's words for why an image is not sound, in the order the checksum
// test looks; scripts match on them.
QString failure_text(const FirmwareImage &image)
{
    switch (image.cause()) {
    case US_CAUSE_IMAGE_NOT_REGULAR: return QStringLiteral("not a regular file");
    case US_CAUSE_IMAGE_TOO_LARGE: return QStringLiteral("larger than an image can be");
    case US_CAUSE_IMAGE_TOO_SHORT:
        // An empty file has always been one that cannot be read.
        if (image.length() == 0)
            return QStringLiteral("cannot be read");
        return image.has_header() ? QStringLiteral("too small to hold a checksum")
                                  : QStringLiteral("shorter than its header");
    case US_CAUSE_IMAGE_NO_SIZE: return QStringLiteral("the header declares no size");
    case US_CAUSE_IMAGE_TRUNCATED: return QStringLiteral("shorter than the size its header declares");
    case US_CAUSE_IMAGE_CHECKSUM: return QStringLiteral("checksum mismatch");
    default: return QStringLiteral("cannot be read");
    }
}

QJsonObject describe(const std::string &path, const FirmwareImage &image)
{
    QJsonObject o;
    o.insert(QStringLiteral("path"), QString::fromStdString(path));
    std::string product;
    if (image.has_header() && image.product(&product)) {
        const unsigned version = image.version();
        o.insert(QStringLiteral("product"), QString::fromStdString(product));
        o.insert(QStringLiteral("version"), version_text(version));
        o.insert(QStringLiteral("version_number"), int(version));
        o.insert(QStringLiteral("build"), int(image.build()));
        o.insert(QStringLiteral("date"),
                 QString::asprintf("%04u-%02u-%02u", unsigned(image.year()), unsigned(image.month()),
                                   unsigned(image.day())));
        o.insert(QStringLiteral("checksum"), double(image.checksum()));
        o.insert(QStringLiteral("size"), double(image.declared_size()));
    } else {
        for (const char *key : { "product", "version", "version_number", "build", "date",
                                 "checksum", "size" })
            o.insert(QLatin1String(key), QJsonValue());
    }
    o.insert(QStringLiteral("sound"), image.sound());
    // The test's own failure number, and null where the test never saw the
    // file (it could not be read).
    o.insert(QStringLiteral("failure"), image.failure() ? QJsonValue(image.failure()) : QJsonValue());
    o.insert(QStringLiteral("cause"),
             image.sound() ? QJsonValue() : QJsonValue(QLatin1String(us_cause_name(image.cause()))));
    return o;
}

} // namespace

int run_info(const std::string &path, bool json)
{
    if (json) {
        divert_trace(std::string());
        FirmwareImage image;
        image.inspect(path);
        out_json(describe(path, image));
        return image.sound() ? 0 : 4;
    }
    // Exactly the device layer's print, on the real stdout; it shows the
    // name and product escaped itself.
    const int result = prgdecode_print_info(path.c_str());
    std::fflush(stdout);
    return result == 0 ? 0 : 4;
}

int run_check(const std::string &path, bool json)
{
    // Nothing the test prints reaches the program's stdout.
    divert_trace(std::string());
    FirmwareImage image;
    image.inspect(path);
    if (json)
        out_json(describe(path, image));
    else if (image.sound())
        out_line(shown(path) + QStringLiteral(": OK"));
    else
        out_line(QStringLiteral("%1: NG (%2)").arg(shown(path), failure_text(image)));
    return image.sound() ? 0 : 4;
}

int run_extract(const std::string &path, bool json)
{
    divert_trace(std::string());
    const bool ok = prgdecode_extract(path.c_str()) == 0;
    const QString out = QString::fromStdString(path + ".bin");
    if (json) {
        QJsonObject o;
        o.insert(QStringLiteral("path"), QString::fromStdString(path));
        o.insert(QStringLiteral("output"), ok ? QJsonValue(out) : QJsonValue());
        o.insert(QStringLiteral("exit"), ok ? 0 : 4);
        out_json(o);
    } else if (ok) {
        out_line(shown(path + ".bin"));
    } else {
        err_line(QStringLiteral("qel-fwtool: cannot extract %1").arg(shown(path)));
    }
    return ok ? 0 : 4;
}

} // namespace fwtool
