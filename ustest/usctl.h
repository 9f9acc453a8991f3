// Device commands: sending control messages, reading replies, waiting for the
// device, and the firmware transfer.
#ifndef USTEST_USCTL_H
#define USTEST_USCTL_H

#include <atomic>
#include <cstdint>

#include "uscause.h"
#include "usbdevs.h"
#include "usmsg.h"

// The record that opening works on: the channel's device table and the
// device number the next open attempt tries.
struct usctl_device {
    usbdevs_context ctx;
    uint8_t next_number;
};

// A device reference: a pointer to the handle (itself a pointer to the open
// device context, or null when no device is open).
typedef usbdevs_context *usctl_handle;

int usctl_init(usctl_device *dev);
int usctl_exit(usctl_device *dev);
int usctl_open(usctl_device *dev, usctl_handle *handle_out);

int usctl_send(usctl_handle *dev, UsMsg *msg);
int usctl_recv(usctl_handle *dev, UsMsg *msg);
int usctl_wait_ready(usctl_handle *dev);

// Why the last failed command on dev failed: the channel's cause, or the one
// the protocol found (a device that stayed busy, a reply that never came).
// US_CAUSE_NO_DEVICE when no device is open. Read it right after the failure;
// a later command replaces it.
us_cause usctl_last_cause(usctl_handle *dev);

int usctl_get_info(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out, int wanted);
int usctl_get_version(usctl_handle *dev, uint16_t *out);
int usctl_get_build(usctl_handle *dev, uint16_t *out);
int usctl_get_product(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out);
int usctl_get_info53(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out);
int usctl_get_info54(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out);
int usctl_get_checksum(usctl_handle *dev, uint32_t check_size, uint32_t *out);
int usctl_get_debug(usctl_handle *dev, void *dest, uint8_t max, uint8_t *length_out);
int usctl_cmd19(usctl_handle *dev, int value);
int usctl_cmd21(usctl_handle *dev, int value);
int usctl_cmd23(usctl_handle *dev, uint32_t value);
int usctl_query24(usctl_handle *dev, uint32_t *out);
int usctl_query20(usctl_handle *dev, uint8_t *out);
int usctl_get_param(usctl_handle *dev, uint8_t s1, uint8_t s2, uint8_t tag, uint8_t *out);
int usctl_set_param(usctl_handle *dev, uint8_t s1, uint8_t s2, uint8_t tag, uint8_t value);
int usctl_put_param_items(UsMsg *msg, uint8_t s1, uint8_t s2, uint8_t tag, uint8_t value);
int usctl_set_param131(usctl_handle *dev, int s1, int s2, int value);
int usctl_get_param197(usctl_handle *dev, int s1, int s2, uint8_t *out);
int usctl_get_param198(usctl_handle *dev, int *out);
int usctl_set_param138(usctl_handle *dev, int value);
int usctl_get_param199(usctl_handle *dev, int *out);
int usctl_set_param67(usctl_handle *dev, int value);
void usctl_print_text(const void *bytes, int count);

// Sends a whole image at the device's pace. progress (may be null) receives the
// bytes handed over so far; it is the one value another thread reads during
// the transfer, hence atomic.
int usctl_fwup(usctl_handle *dev, const uint8_t *image, uint32_t size,
               std::atomic<uint32_t> *progress);

#endif
