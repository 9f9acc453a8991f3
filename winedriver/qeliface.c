/*
 * The device's one audio-rendering interface, with the reference string
 * "global", as the real driver registers it; the updater opens its channel
 * by replacing the reference string with "qel".
 *
 * Wine 8 cannot do this the Windows way, and everything that answers it is
 * kept in this file:
 *  - IoSetDeviceInterfaceState fails for an interface with a reference
 *    string: it looks up the registry key "...\#\global" where the key is
 *    "...\#global" (STATUS_OBJECT_NAME_NOT_FOUND). Were it to succeed, it
 *    would name the link "\??\root#...#{guid}\global", which has no parent.
 *  - Wine's device objects refuse a path below them, and FileObject->FileName
 *    is always empty, so "...\global" and "...\qel" cannot reach the device
 *    as Windows' I/O manager would hand them over.
 * So when the plain call fails, the driver does its work itself: an object
 * directory \??\root#qel#NNNN#{guid} holding one link to the PDO for each
 * name a client opens ("global" and "qel"), and the volatile value
 * Control\Linked = 1 under the interface's key, which is what SetupAPI's
 * DIGCF_PRESENT looks at.
 *  - Wine's symbolic links are permanent objects: the links are deleted
 *    again on removal, or old paths would still open and adding the device
 *    again would collide with them.
 */
#include "qeldrv.h"

NTSYSAPI NTSTATUS NTAPI ZwOpenDirectoryObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);

/* KSCATEGORY_RENDER {65E8773E-8F56-11D0-A3B9-00A0C9223196} */
static const GUID render_category =
    { 0x65e8773e, 0x8f56, 0x11d0, { 0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96 } };

#define NAME_CHARS 400

/* Length of a terminated string of at most cap characters, or cap. */
static ULONG bounded_len(const WCHAR *s, ULONG cap)
{
    ULONG n = 0;
    while (n < cap && s[n])
        ++n;
    return n;
}

/* Appends count characters of src (stopping at a NUL); 0 when they do not fit. */
static int append(WCHAR *dst, const WCHAR *src, ULONG count)
{
    ULONG n = bounded_len(dst, NAME_CHARS), i;
    for (i = 0; i < count && src[i]; ++i) {
        if (n + 1 >= NAME_CHARS)
            return 0;
        dst[n++] = src[i];
    }
    dst[n] = 0;
    return 1;
}

/* Index of the backslash before the reference string in the link name
 * "\??\root#qel#0000#{guid}\global"; 0 when there is none. */
static ULONG refstr_index(const UNICODE_STRING *link)
{
    ULONG i = link->Length / sizeof(WCHAR);
    while (i > 4 && link->Buffer[i - 1] != L'\\')
        --i;
    return i > 4 ? i - 1 : 0;
}

/* Makes the link dir\leaf to target, or with no target only removes it. */
static NTSTATUS make_link(const WCHAR *dir, const WCHAR *leaf, UNICODE_STRING *target)
{
    WCHAR buf[NAME_CHARS];
    UNICODE_STRING name;
    buf[0] = 0;
    if (!append(buf, dir, NAME_CHARS) || !append(buf, L"\\", 1) || !append(buf, leaf, NAME_CHARS))
        return STATUS_NAME_TOO_LONG;
    RtlInitUnicodeString(&name, buf);
    IoDeleteSymbolicLink(&name);
    return target ? IoCreateSymbolicLink(&name, target) : STATUS_SUCCESS;
}

/* <DeviceClasses>\{guid}\##?#<instance>#{guid}\#<refstr>\Control\Linked */
static NTSTATUS set_linked(const UNICODE_STRING *link, ULONG at, ULONG value)
{
    static const WCHAR classes[] =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\";
    const WCHAR *b = link->Buffer;
    const ULONG n = link->Length / sizeof(WCHAR);
    WCHAR path[NAME_CHARS];
    UNICODE_STRING name, value_name;
    OBJECT_ATTRIBUTES attr;
    HANDLE key;
    NTSTATUS status;

    if (at < 4 + 38 || at >= n)
        return STATUS_INVALID_PARAMETER;
    path[0] = 0;
    if (!append(path, classes, NAME_CHARS) || !append(path, b + at - 38, 38)
        || !append(path, L"\\##?#", NAME_CHARS) || !append(path, b + 4, at - 4)
        || !append(path, L"\\#", NAME_CHARS) || !append(path, b + at + 1, n - at - 1)
        || !append(path, L"\\Control", NAME_CHARS))
        return STATUS_NAME_TOO_LONG;
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attr, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateKey(&key, KEY_SET_VALUE, &attr, 0, NULL, REG_OPTION_VOLATILE, NULL);
    if (!NT_SUCCESS(status))
        return status;
    RtlInitUnicodeString(&value_name, L"Linked");
    status = ZwSetValueKey(key, &value_name, 0, REG_DWORD, &value, sizeof value);
    ZwClose(key);
    return status;
}

/* The link directory's name: the link name up to its reference string. */
static int link_dir_name(const QEL_EXT *ext, WCHAR *dir, ULONG *at)
{
    *at = refstr_index(&ext->link);
    if (!*at || *at >= NAME_CHARS)
        return 0;
    RtlCopyMemory(dir, ext->link.Buffer, *at * sizeof(WCHAR));
    dir[*at] = 0;
    return 1;
}

NTSTATUS qel_register_interface(QEL_EXT *ext)
{
    UNICODE_STRING refstr;
    RtlInitUnicodeString(&refstr, L"global");
    return IoRegisterDeviceInterface(ext->pdo, &render_category, &refstr, &ext->link);
}

NTSTATUS qel_enable_interface(QEL_EXT *ext)
{
    WCHAR dir[NAME_CHARS], pdo_name[128], refstr[NAME_CHARS];
    UNICODE_STRING dir_name, target;
    OBJECT_ATTRIBUTES attr;
    ULONG at, got = 0;
    NTSTATUS status;

    status = IoSetDeviceInterfaceState(&ext->link, TRUE);
    if (NT_SUCCESS(status))
        return status;

    if (!link_dir_name(ext, dir, &at))
        return status;
    RtlInitUnicodeString(&dir_name, dir);
    InitializeObjectAttributes(&attr, &dir_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateDirectoryObject(&ext->link_dir, DIRECTORY_ALL_ACCESS, &attr);
    if (status == STATUS_OBJECT_NAME_COLLISION)
        status = ZwOpenDirectoryObject(&ext->link_dir, DIRECTORY_ALL_ACCESS, &attr);
    if (!NT_SUCCESS(status)) {
        ext->link_dir = NULL;
        return status;
    }
    status = IoGetDeviceProperty(ext->pdo, DevicePropertyPhysicalDeviceObjectName,
                                 sizeof pdo_name - sizeof(WCHAR), pdo_name, &got);
    if (!NT_SUCCESS(status))
        return status;
    pdo_name[got / sizeof(WCHAR) < 128 ? got / sizeof(WCHAR) : 127] = 0;
    RtlInitUnicodeString(&target, pdo_name);
    refstr[0] = 0;
    if (!append(refstr, ext->link.Buffer + at + 1, ext->link.Length / sizeof(WCHAR) - at - 1))
        return STATUS_NAME_TOO_LONG;
    status = make_link(dir, refstr, &target);
    if (NT_SUCCESS(status))
        status = make_link(dir, L"qel", &target);
    if (NT_SUCCESS(status))
        status = set_linked(&ext->link, at, 1);
    return status;
}

void qel_disable_interface(QEL_EXT *ext)
{
    WCHAR dir[NAME_CHARS], refstr[NAME_CHARS];
    ULONG at;

    if (!ext->link_dir) {
        IoSetDeviceInterfaceState(&ext->link, FALSE);
        return;
    }
    if (link_dir_name(ext, dir, &at)) {
        set_linked(&ext->link, at, 0);
        refstr[0] = 0;
        if (append(refstr, ext->link.Buffer + at + 1, ext->link.Length / sizeof(WCHAR) - at - 1))
            make_link(dir, refstr, NULL);
        make_link(dir, L"qel", NULL);
    }
    /* The directory goes with its last handle. */
    ZwClose(ext->link_dir);
    ext->link_dir = NULL;
}
