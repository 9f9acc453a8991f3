/* The parts of the test driver that its source files share. */
#ifndef WINEDRIVER_QELDRV_H
#define WINEDRIVER_QELDRV_H

#include <ntddk.h>

#include "channelwire.h"

#define QEL_POOL_TAG 0x206c4551u /* "QEl " */

typedef struct {
    DEVICE_OBJECT *lower;
    DEVICE_OBJECT *pdo;
    IO_REMOVE_LOCK remove_lock;
    UNICODE_STRING link;     /* the interface's symbolic link name */
    BOOLEAN started;
    USHORT port;             /* the relay's port on 127.0.0.1; 0: none */
    HANDLE link_dir;         /* see qeliface.c */
} QEL_EXT;

/* qeliface.c */
NTSTATUS qel_register_interface(QEL_EXT *ext);
NTSTATUS qel_enable_interface(QEL_EXT *ext);
void qel_disable_interface(QEL_EXT *ext);

/* qelchannel.c: carries one I/O control request to the device behind the
 * relay on 127.0.0.1:port. in and out may not overlap. */
NTSTATUS qel_channel_start(void);
NTSTATUS qel_channel_request(USHORT port, const UCHAR *in, ULONG in_len, UCHAR *out,
                             ULONG out_len, ULONG *returned);

#endif
