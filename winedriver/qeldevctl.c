/*
 * qeldevctl: plugs emulated devices in and out under wine, the way a driver
 * package's installer and Device Manager do it, through SetupAPI.
 *
 *   qeldevctl add N PORT [INF]   device ROOT\QEL\NNNN with the test driver,
 *                                its channel the relay on 127.0.0.1:PORT
 *   qeldevctl remove N           removes it again: the device's unplug
 *   qeldevctl list               the present qel interfaces, as the updater
 *                                enumerates them ("<instance id> <path>")
 */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const GUID media_class =
    { 0x4d36e96c, 0xe325, 0x11ce, { 0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18 } };
/* KSCATEGORY_RENDER */
static const GUID render_category =
    { 0x65e8773e, 0x8f56, 0x11d0, { 0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96 } };
static const WCHAR hardware_id[] = L"root\\qel\0"; /* REG_MULTI_SZ */

static int fail(const char *what)
{
    const DWORD e = GetLastError();
    fprintf(stderr, "qeldevctl: %s failed, error %lu (%#lx)\n", what, e, e);
    return 1;
}

/* "N" with 0 <= N <= max; -1 for anything else. */
static long number(const WCHAR *text, long max)
{
    WCHAR *end = NULL;
    long v;
    if (!text[0] || text[0] < L'0' || text[0] > L'9')
        return -1;
    v = wcstol(text, &end, 10);
    return *end || v < 0 || v > max ? -1 : v;
}

static void instance_id(WCHAR *id, size_t size, long n)
{
    swprintf(id, size, L"ROOT\\QEL\\%04ld", n);
}

/* Installs the driver on this one device, as the PnP installer would, so that
 * a second device leaves the first one running. */
static int install_driver(HDEVINFO set, SP_DEVINFO_DATA *dev, const WCHAR *inf)
{
    SP_DEVINSTALL_PARAMS_W params;
    ZeroMemory(&params, sizeof params);
    params.cbSize = sizeof params;
    if (!SetupDiGetDeviceInstallParamsW(set, dev, &params))
        return fail("SetupDiGetDeviceInstallParamsW");
    if (wcslen(inf) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return fail("the INF's path");
    }
    wcscpy(params.DriverPath, inf);
    params.Flags |= DI_ENUMSINGLEINF;
    if (!SetupDiSetDeviceInstallParamsW(set, dev, &params))
        return fail("SetupDiSetDeviceInstallParamsW");
    if (!SetupDiBuildDriverInfoList(set, dev, SPDIT_COMPATDRIVER))
        return fail("SetupDiBuildDriverInfoList");
    if (!SetupDiCallClassInstaller(DIF_SELECTBESTCOMPATDRV, set, dev))
        return fail("DIF_SELECTBESTCOMPATDRV");
    if (!SetupDiCallClassInstaller(DIF_INSTALLDEVICE, set, dev))
        return fail("DIF_INSTALLDEVICE");
    return 0;
}

static int add_device(long n, DWORD port, const WCHAR *inf_arg)
{
    WCHAR inf[MAX_PATH], id[32];
    SP_DEVINFO_DATA dev;
    HDEVINFO set;
    HKEY key;
    int status = 1;

    if (!GetFullPathNameW(inf_arg, MAX_PATH, inf, NULL))
        return fail("GetFullPathNameW");
    instance_id(id, 32, n);
    set = SetupDiCreateDeviceInfoList(&media_class, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");
    ZeroMemory(&dev, sizeof dev);
    dev.cbSize = sizeof dev;
    if (!SetupDiCreateDeviceInfoW(set, id, &media_class, L"Qel emulated device", NULL, 0, &dev))
        fail("SetupDiCreateDeviceInfoW");
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID,
                                                (const BYTE *)hardware_id, sizeof hardware_id))
        fail("SPDRP_HARDWAREID");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev))
        fail("DIF_REGISTERDEVICE");
    else if ((key = SetupDiCreateDevRegKeyW(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL))
             == INVALID_HANDLE_VALUE)
        fail("SetupDiCreateDevRegKeyW");
    else {
        /* The driver reads its channel when it starts the device. */
        const LONG e = RegSetValueExW(key, L"ChannelPort", 0, REG_DWORD, (const BYTE *)&port,
                                      sizeof port);
        RegCloseKey(key);
        if (e != ERROR_SUCCESS) {
            SetLastError((DWORD)e);
            fail("ChannelPort");
        } else if (install_driver(set, &dev, inf) == 0) {
            printf("qeldevctl: added %ls, channel 127.0.0.1:%lu\n", id, port);
            status = 0;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

static int remove_device(long n)
{
    WCHAR id[32];
    SP_DEVINFO_DATA dev;
    HDEVINFO set;
    int status = 1;

    instance_id(id, 32, n);
    set = SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");
    ZeroMemory(&dev, sizeof dev);
    dev.cbSize = sizeof dev;
    if (!SetupDiOpenDeviceInfoW(set, id, NULL, 0, &dev))
        fail("SetupDiOpenDeviceInfoW");
    else if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &dev))
        fail("DIF_REMOVE");
    else {
        printf("qeldevctl: removed %ls\n", id);
        status = 0;
    }
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

/* The updater's own enumeration: present devices of the render category in
 * SetupAPI's order, those whose service is "qel", each interface's path. */
static int list_devices(void)
{
    HDEVINFO set = SetupDiGetClassDevsW(&render_category, NULL, NULL,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA dev;
    DWORD d, m;
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiGetClassDevsW");
    for (d = 0; dev.cbSize = sizeof dev, SetupDiEnumDeviceInfo(set, d, &dev); ++d) {
        WCHAR service[128] = { 0 }, id[256] = { 0 };
        SP_DEVICE_INTERFACE_DATA iface;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_SERVICE, NULL, (BYTE *)service,
                                               sizeof service - sizeof service[0], NULL)
            || wcscmp(service, L"qel") != 0)
            continue;
        SetupDiGetDeviceInstanceIdW(set, &dev, id, 256, NULL);
        for (m = 0; iface.cbSize = sizeof iface,
                    SetupDiEnumDeviceInterfaces(set, &dev, &render_category, m, &iface); ++m) {
            DWORD size = 0;
            SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail;
            SetupDiGetDeviceInterfaceDetailW(set, &iface, NULL, 0, &size, NULL);
            if (size < sizeof *detail || !(detail = calloc(1, size)))
                continue;
            detail->cbSize = sizeof *detail;
            if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, size, NULL, NULL))
                printf("%ls %ls\n", id, detail->DevicePath);
            free(detail);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

static int usage(void)
{
    fprintf(stderr, "usage: qeldevctl add N PORT [INF] | remove N | list\n");
    return 2;
}

int wmain(int argc, WCHAR **argv)
{
    long n, port;
    if (argc == 2 && !wcscmp(argv[1], L"list"))
        return list_devices();
    if (argc < 3 || (n = number(argv[2], 9999)) < 0)
        return usage();
    if (argc == 3 && !wcscmp(argv[1], L"remove"))
        return remove_device(n);
    if ((argc == 4 || argc == 5) && !wcscmp(argv[1], L"add")) {
        if ((port = number(argv[3], 65535)) <= 0)
            return usage();
        return add_device(n, (DWORD)port, argc == 5 ? argv[4] : L"qel.inf");
    }
    return usage();
}
