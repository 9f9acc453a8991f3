#include "testimages.h"

#include <cstring>
#include <string>
#include <vector>

#include <QFile>

void prepare_job(FWUpdateJob *job, FWImage *image, UsDevice *dev, const QByteArray &bytes)
{
    std::memcpy(image->data, bytes.constData(), size_t(bytes.size()));
    image->size = bytes.size();
    image->device = dev;
    dev->set_fw_image(image->data);
    job->image = image;
    job->total = image->size;
    job->pos = 0;
}

QByteArray image_of(const ImageRecipe &recipe)
{
    std::vector<uint8_t> bytes;
    std::string error;
    if (!mkimage_build(recipe, &bytes, &error))
        qFatal("cannot make a test image: %s", error.c_str());
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

QByteArray sound_image(const char *product, uint16_t version, uint16_t build,
                       uint32_t body_length)
{
    ImageRecipe recipe;
    recipe.product = product;
    recipe.version = version;
    recipe.build = build;
    recipe.body.resize(body_length);
    for (uint32_t i = 0; i < body_length; ++i)
        recipe.body[i] = uint8_t(i * 7 + 3);
    return image_of(recipe);
}

QByteArray embedded_bytes()
{
    QFile file(QStringLiteral(":/res/update.bin"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString write_file(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}
