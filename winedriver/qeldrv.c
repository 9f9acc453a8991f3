/*
 * qel.sys: a stand-in "qel" driver for testing the Windows program under
 * wine, never shipped. It plays the vendor's driver on a root-enumerated
 * device: service "qel", one KSCATEGORY_RENDER interface, and its one I/O
 * control code (QEL_CONTROL_CODE) carried to an emulated device on the Linux
 * side as one request and one reply of the device channel (qelchannel.c).
 *
 * No real Windows kernel could load it: it imports ws2_32.dll, a user-mode
 * DLL, which a kernel driver cannot link to. Wine
 * runs drivers in the user-mode process winedevice.exe, where they load.
 * Wine also checks no driver signature, so the INF needs no catalog.
 *
 * Each device's channel is the port of a relay on 127.0.0.1, the value
 * ChannelPort (REG_DWORD) in the device's hardware key ("Device Parameters"),
 * which the installer (qeldevctl) writes before the driver starts the device,
 * so several devices each reach their own emulated device. Removing the
 * device is its unplug: its interface goes, and a request already under way
 * is finished before the device object is deleted.
 */
#include "qeldrv.h"

static ULONG read_port(DEVICE_OBJECT *pdo)
{
    UCHAR buf[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buf;
    UNICODE_STRING name;
    HANDLE key;
    ULONG got = 0, port = 0;

    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)))
        return 0;
    RtlInitUnicodeString(&name, L"ChannelPort");
    if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof buf, &got))
        && info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)) {
        RtlCopyMemory(&port, info->Data, sizeof port);
        if (port > 65535)
            port = 0;
    }
    ZwClose(key);
    return port;
}

static NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR info)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS qel_create_close(DEVICE_OBJECT *device, IRP *irp)
{
    QEL_EXT *ext = device->DeviceExtension;
    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE)
        return complete(irp, STATUS_SUCCESS, 0);
    status = IoAcquireRemoveLock(&ext->remove_lock, irp);
    if (!NT_SUCCESS(status))
        return complete(irp, status, 0);
    status = ext->started ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
    IoReleaseRemoveLock(&ext->remove_lock, irp);
    return complete(irp, status, 0);
}

static NTSTATUS qel_ioctl(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    QEL_EXT *ext = device->DeviceExtension;
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out_len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buffer = irp->AssociatedIrp.SystemBuffer;
    UCHAR *in;
    ULONG returned = 0;
    NTSTATUS status;

    status = IoAcquireRemoveLock(&ext->remove_lock, irp);
    if (!NT_SUCCESS(status))
        return complete(irp, status, 0);
    if (code != QEL_CONTROL_CODE)
        status = STATUS_INVALID_DEVICE_REQUEST;
    else if (!ext->started)
        status = STATUS_DEVICE_NOT_CONNECTED;
    else if (!buffer || in_len > QEL_CHANNEL_MAX_INPUT || out_len > QEL_CHANNEL_MAX_OUTPUT)
        status = STATUS_INVALID_PARAMETER;
    else if (!(in = ExAllocatePoolWithTag(NonPagedPool, in_len ? in_len : 1, QEL_POOL_TAG)))
        status = STATUS_INSUFFICIENT_RESOURCES;
    else {
        /* METHOD_BUFFERED: the reply is written over the request. */
        RtlCopyMemory(in, buffer, in_len);
        status = qel_channel_request(ext->port, in, in_len, buffer, out_len, &returned);
        ExFreePool(in);
    }
    IoReleaseRemoveLock(&ext->remove_lock, irp);
    return complete(irp, status, NT_SUCCESS(status) ? returned : 0);
}

static NTSTATUS on_lower_done(DEVICE_OBJECT *device, IRP *irp, void *context)
{
    (void)device;
    (void)irp;
    KeSetEvent((KEVENT *)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS forward_and_wait(QEL_EXT *ext, IRP *irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, on_lower_done, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

static NTSTATUS qel_pnp(DEVICE_OBJECT *device, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    QEL_EXT *ext = device->DeviceExtension;
    DEVICE_OBJECT *lower = ext->lower;
    const UCHAR minor = stack->MinorFunction;
    NTSTATUS status;

    status = IoAcquireRemoveLock(&ext->remove_lock, irp);
    if (!NT_SUCCESS(status))
        return complete(irp, status, 0);
    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = forward_and_wait(ext, irp);
        if (NT_SUCCESS(status)) {
            ext->port = (USHORT)read_port(ext->pdo);
            status = qel_enable_interface(ext);
            ext->started = NT_SUCCESS(status);
        }
        IoReleaseRemoveLock(&ext->remove_lock, irp);
        return complete(irp, status, 0);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        if (ext->started) {
            ext->started = FALSE;
            qel_disable_interface(ext);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        if (minor == IRP_MN_SURPRISE_REMOVAL) {
            status = IoCallDriver(lower, irp);
            IoReleaseRemoveLock(&ext->remove_lock, irp);
            return status;
        }
        /* Requests under way end before the device object goes. */
        IoReleaseRemoveLockAndWait(&ext->remove_lock, irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        RtlFreeUnicodeString(&ext->link);
        IoDeleteDevice(device);
        return status;
    default:
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoReleaseRemoveLock(&ext->remove_lock, irp);
        return status;
    }
}

static NTSTATUS qel_add_device(DRIVER_OBJECT *driver, DEVICE_OBJECT *pdo)
{
    DEVICE_OBJECT *fdo;
    QEL_EXT *ext;
    NTSTATUS status;

    status = IoCreateDevice(driver, sizeof(QEL_EXT), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    ext = fdo->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    ext->pdo = pdo;
    IoInitializeRemoveLock(&ext->remove_lock, QEL_POOL_TAG, 0, 0);
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!ext->lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = qel_register_interface(ext);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(fdo);
        return status;
    }
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void qel_unload(DRIVER_OBJECT *driver)
{
    (void)driver;
}

NTSTATUS DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *registry_path)
{
    NTSTATUS status;
    (void)registry_path;
    status = qel_channel_start();
    if (!NT_SUCCESS(status))
        return status;
    driver->DriverExtension->AddDevice = qel_add_device;
    driver->DriverUnload = qel_unload;
    driver->MajorFunction[IRP_MJ_CREATE] = qel_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = qel_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = qel_ioctl;
    driver->MajorFunction[IRP_MJ_PNP] = qel_pnp;
    return STATUS_SUCCESS;
}
