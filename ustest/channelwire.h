/*
 * The device channel's wire format, the one copy that every end of it reads:
 * the device layer's client, the drivers that serve the Unix-socket channel
 * (the emulated device, the USB bridge, the relay for wine), the test driver
 * under wine, which is C, and the device behind them all. Plain macros, so
 * that C and C++ take the same values.
 *
 * The values are fixed by the device's own driver on Windows and by the
 * device's firmware; changing one here changes every end at once, so no test
 * that uses these names would notice. The request layout test in
 * ustest/tests/test_usbdevs.cpp spells the bytes out for that reason.
 */
#ifndef USTEST_CHANNELWIRE_H
#define USTEST_CHANNELWIRE_H

/* ---- The I/O control request, as the Windows driver takes it ----------- */

/* The driver's one control code: an unknown device type's first private
 * function, buffered, any access. */
#define QEL_CONTROL_CODE 0x222000

/* The header at the start of every request's input, little-endian. */
#define QEL_CONTROL_HEADER 16
#define QEL_CONTROL_DIRECTION_AT 0   /* 4 bytes: QEL_CONTROL_OUT or QEL_CONTROL_IN */
#define QEL_CONTROL_LENGTH_AT 4      /* 4 bytes: payload length of a write, 0 for a read */
#define QEL_CONTROL_FUNCTION_AT 8    /* 2 bytes: QEL_CONTROL_FUNCTION_VENDOR_DEVICE */
#define QEL_CONTROL_VALUE_AT 10      /* 2 bytes */
#define QEL_CONTROL_INDEX_AT 12      /* 2 bytes */
#define QEL_CONTROL_RESERVED_AT 14   /* 1 byte, 0 */
#define QEL_CONTROL_REQUEST_AT 15    /* 1 byte: the vendor request */

#define QEL_CONTROL_OUT 0   /* host to device */
#define QEL_CONTROL_IN 1    /* device to host */
/* A vendor request addressed to the device, the only kind there is. */
#define QEL_CONTROL_FUNCTION_VENDOR_DEVICE 23

/* The driver takes no shorter input: a read sends the header and four zero
 * bytes, a short write is padded to this. */
#define QEL_CONTROL_MIN_INPUT 20

/* A transfer's length is 16 bits; the input carries the header before it. */
#define QEL_CHANNEL_MAX_OUTPUT 65535
#define QEL_CHANNEL_MAX_INPUT (QEL_CONTROL_HEADER + QEL_CHANNEL_MAX_OUTPUT)

/* ---- The same request over the Unix-domain socket ----------------------- */

/* Request: magic, control code, input length, output length (each 4 bytes,
 * little-endian), then the input. */
#define QEL_CHANNEL_REQUEST_MAGIC "QELC"
#define QEL_CHANNEL_REQUEST_HEADER 16
#define QEL_CHANNEL_REQUEST_CODE_AT 4
#define QEL_CHANNEL_REQUEST_INPUT_AT 8
#define QEL_CHANNEL_REQUEST_OUTPUT_AT 12

/* Reply: magic, error (an errno value, 0 when the request went through),
 * bytes returned (each 4 bytes, little-endian), then the bytes. */
#define QEL_CHANNEL_REPLY_MAGIC "QELR"
#define QEL_CHANNEL_REPLY_HEADER 12
#define QEL_CHANNEL_REPLY_ERROR_AT 4
#define QEL_CHANNEL_REPLY_COUNT_AT 8

/* Both magics; the string literals above also hold a terminator. */
#define QEL_CHANNEL_MAGIC_SIZE 4

/* How long either end waits for the other's part of one exchange: the
 * client for the whole reply once its request is written, a driver for the
 * whole request and for its reply to be taken. */
#define QEL_CHANNEL_TIME_LIMIT_MS 5000

/* ---- The device's two vendor requests ----------------------------------- */

#define QEL_REQUEST_MESSAGE 29   /* OUT: one message to the device */
#define QEL_REQUEST_REPLY 30     /* IN: the device's reply to it */
/* Neither a message nor a reply is longer. */
#define QEL_MESSAGE_SIZE 64

#endif
