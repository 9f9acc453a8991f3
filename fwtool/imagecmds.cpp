#include "imagecmds.h"

#include <cstdio>
#include <cstdlib>

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include "console.h"
#include "output.h"
#include "prgdecode.h"
#include "versiontext.h"

namespace fwtool {

namespace {

// Why an image is not sound, in the order the checksum test looks; the
// numbers are what --json reports as "failure".
enum Failure {
    SOUND = 0,
    UNREADABLE = 1,
    NO_HEADER = 2,
    NO_SIZE = 3,
    TRUNCATED = 4,
    TOO_SMALL = 5,
    CHECKSUM = 6,
    NOT_REGULAR = 7,
    TOO_LARGE = 8,
};

const char *failure_text(int failure)
{
    switch (failure) {
    case UNREADABLE: return "cannot be read";
    case NO_HEADER: return "shorter than its header";
    case NO_SIZE: return "the header declares no size";
    case TRUNCATED: return "shorter than the size its header declares";
    case TOO_SMALL: return "too small to hold a checksum";
    case CHECKSUM: return "checksum mismatch";
    case NOT_REGULAR: return "not a regular file";
    case TOO_LARGE: return "larger than an image can be";
    default: return "sound";
    }
}

struct Examined {
    bool have_header = false;
    prg_header header{};
    int failure = UNREADABLE;
};

// The device layer's own test decides; the reason is only named here.
// Nothing it prints reaches the program's stdout: the trace is diverted.
Examined examine(const std::string &path)
{
    Examined e;
    uint32_t length = 0;
    int why = PRG_LOAD_OK;
    uint8_t *buf = prgdecode_load_file(path.c_str(), &length, &why);
    if (!buf) {
        e.failure = why == PRG_LOAD_NOT_REGULAR ? NOT_REGULAR
                    : why == PRG_LOAD_TOO_LARGE ? TOO_LARGE
                                                : UNREADABLE;
        return e;
    }
    if (length < PRG_HEADER_SIZE) {
        e.failure = NO_HEADER;
    } else {
        prgdecode_set_header(&e.header, buf);
        e.have_header = true;
        const uint32_t size = prgdecode_get_size(&e.header);
        if (prgdecode_check(buf, length) == 0)
            e.failure = SOUND;
        else if (size == 0)
            e.failure = NO_SIZE;
        else if (size > length)
            e.failure = TRUNCATED;
        else if (size < PRG_MIN_IMAGE_SIZE || length < PRG_MIN_IMAGE_SIZE)
            e.failure = TOO_SMALL;
        else
            e.failure = CHECKSUM;
    }
    std::free(buf);
    return e;
}

QJsonObject describe(const std::string &path, const Examined &e)
{
    QJsonObject o;
    o.insert(QStringLiteral("path"), QString::fromStdString(path));
    if (e.have_header) {
        char product[PRG_PRODUCT_SIZE + 1] = {};
        prgdecode_get_product(&e.header, product, sizeof product);
        const unsigned version = prgdecode_get_version(&e.header);
        o.insert(QStringLiteral("product"), QString::fromUtf8(product));
        o.insert(QStringLiteral("version"), version_text(version));
        o.insert(QStringLiteral("version_number"), int(version));
        o.insert(QStringLiteral("build"), int(prgdecode_get_build(&e.header)));
        o.insert(QStringLiteral("date"),
                 QString::asprintf("%04u-%02u-%02u", unsigned(prgdecode_get_year(&e.header)),
                                   unsigned(prgdecode_get_month(&e.header)),
                                   unsigned(prgdecode_get_day(&e.header))));
        o.insert(QStringLiteral("checksum"), double(prgdecode_get_checksum(&e.header)));
        o.insert(QStringLiteral("size"), double(prgdecode_get_size(&e.header)));
    } else {
        for (const char *key : { "product", "version", "version_number", "build", "date",
                                 "checksum", "size" })
            o.insert(QLatin1String(key), QJsonValue());
    }
    o.insert(QStringLiteral("sound"), e.failure == SOUND);
    o.insert(QStringLiteral("failure"), e.failure == SOUND ? QJsonValue() : QJsonValue(e.failure));
    return o;
}

} // namespace

int run_info(const std::string &path, bool json)
{
    if (json) {
        divert_trace(std::string());
        const Examined e = examine(path);
        out_json(describe(path, e));
        return e.failure == SOUND ? 0 : 4;
    }
    // Exactly the device layer's print, on the real stdout; it shows the
    // name and product escaped itself.
    const int result = prgdecode_print_info(path.c_str());
    std::fflush(stdout);
    return result == 0 ? 0 : 4;
}

int run_check(const std::string &path, bool json)
{
    divert_trace(std::string());
    const Examined e = examine(path);
    if (json)
        out_json(describe(path, e));
    else if (e.failure == SOUND)
        out_line(shown(path) + QStringLiteral(": OK"));
    else
        out_line(QStringLiteral("%1: NG (%2)").arg(shown(path), QLatin1String(failure_text(e.failure))));
    return e.failure == SOUND ? 0 : 4;
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
