// The records of one firmware update, shared by whoever starts it (the
// window, the command-line tool) and the update worker that carries it out.
#ifndef APP_FWIMAGE_H
#define APP_FWIMAGE_H

#include <atomic>
#include <cstdint>

class UsDevice;

enum { FW_IMAGE_CAPACITY = 1048576 };

// The image to install, exactly as stored in its file.
struct FWImage {
    UsDevice *device;                   // the starter's device, set when an update starts
    uint8_t data[FW_IMAGE_CAPACITY];
    int size;
};

// Progress shared with the update worker. pos is written by the transfer on
// the worker's thread while the starter reads it, hence atomic.
struct FWUpdateJob {
    std::atomic<uint32_t> pos;
    int total;
    FWImage *image;
};

#endif
