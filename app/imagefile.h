// Reading a firmware image file into the caller's image buffer, the same way
// for the window and the command-line updater.
#ifndef APP_IMAGEFILE_H
#define APP_IMAGEFILE_H

#include <cstdint>

#include <QString>

// Reads the whole file at path into buffer (capacity bytes) and stores its
// length in *size. Qt resource paths (":/res/update.bin") are read through
// QFile. Any other path must name a regular file of at most capacity bytes;
// opening it never waits, so a named pipe or a device node in its place is
// refused at once instead of hanging the caller. On failure *size is 0 and
// *why (may be null) says why in a few words, such as "not a regular file".
bool load_image_file(const QString &path, uint8_t *buffer, int capacity, int *size, QString *why);

#endif
