// Firmware images and files for the window's tests, all made by the image maker.
#ifndef APP_TESTS_TESTIMAGES_H
#define APP_TESTS_TESTIMAGES_H

#include <QByteArray>
#include <QString>

#include "fwimage.h"
#include "mkimage.h"
#include "usdevice.h"

// A sound image; body_length plain body bytes of a fixed pattern.
QByteArray sound_image(const char *product, uint16_t version, uint16_t build,
                       uint32_t body_length = 1000);
QByteArray image_of(const ImageRecipe &recipe);

// The image the updater carries (":/res/update.bin"), as stored.
QByteArray embedded_bytes();

// The records of an update as the window holds them when it starts one:
// bytes in image, which belongs to dev, and a job on it from position 0.
void prepare_job(FWUpdateJob *job, FWImage *image, UsDevice *dev, const QByteArray &bytes);

// Writes bytes to dir/name and returns the path.
QString write_file(const QString &dir, const QString &name, const QByteArray &bytes);

#endif
