/*
 * One I/O control request carried to the emulated device on the Linux side,
 * as one request and one reply of the device channel over a fresh loopback
 * TCP connection (one per request, like the channel itself). Wine 8's
 * ws2_32 has no AF_UNIX, so a relay on the Linux side joins each connection
 * to the device's Unix socket.
 *
 * The sockets come from ws2_32.dll: that only works because wine runs
 * drivers inside a user-mode process. They are declared here because the
 * user-mode headers do not mix with the DDK's. (Nothing may come from
 * kernel32.dll: wine takes a driver that imports it for an ordinary DLL and
 * calls DriverEntry as its DllMain.)
 */
#include "qeldrv.h"

typedef unsigned long long QSOCKET;
#define QINVALID_SOCKET (~0ULL)
typedef struct { USHORT family; USHORT port; UCHAR addr[4]; UCHAR zero[8]; } QSOCKADDR_IN;
typedef struct { UCHAR raw[512]; } QWSADATA; /* larger than WSADATA; never read */
typedef struct { ULONG count; QSOCKET fd[1]; } QFD_SET;
typedef struct { LONG sec; LONG usec; } QTIMEVAL;
__declspec(dllimport) int __stdcall WSAStartup(USHORT, QWSADATA *);
__declspec(dllimport) QSOCKET __stdcall socket(int, int, int);
__declspec(dllimport) int __stdcall connect(QSOCKET, const void *, int);
__declspec(dllimport) int __stdcall send(QSOCKET, const char *, int, int);
__declspec(dllimport) int __stdcall recv(QSOCKET, char *, int, int);
__declspec(dllimport) int __stdcall select(int, QFD_SET *, QFD_SET *, QFD_SET *, const QTIMEVAL *);
__declspec(dllimport) int __stdcall closesocket(QSOCKET);
__declspec(dllimport) int __stdcall setsockopt(QSOCKET, int, int, const char *, int);

#define Q_AF_INET 2
#define Q_SOCK_STREAM 1
#define Q_SOL_SOCKET 0xffff
#define Q_SO_SNDTIMEO 0x1005

/* Errors of the Linux side (errno values) as the statuses a driver gives. */
static NTSTATUS status_of(ULONG error)
{
    switch (error) {
    case 5: /* EIO: the device stalled the transfer */
        return STATUS_IO_DEVICE_ERROR;
    case 19: /* ENODEV: the device has gone */
        return STATUS_DEVICE_NOT_CONNECTED;
    case 22: /* EINVAL: a malformed request */
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

static ULONGLONG now_ms(void)
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart <= 0)
        return 0;
    return (ULONGLONG)count.QuadPart / (ULONGLONG)frequency.QuadPart * 1000
           + (ULONGLONG)count.QuadPart % (ULONGLONG)frequency.QuadPart * 1000
                 / (ULONGLONG)frequency.QuadPart;
}

static ULONG get_le32(const UCHAR *p)
{
    return p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

static void put_le32(UCHAR *p, ULONG v)
{
    ULONG i;
    for (i = 0; i < 4; ++i)
        p[i] = (UCHAR)(v >> (8 * i));
}

static int send_all(QSOCKET s, const UCHAR *p, ULONG n)
{
    while (n) {
        int k = send(s, (const char *)p, n > 0x10000 ? 0x10000 : (int)n, 0);
        if (k <= 0)
            return 0;
        p += k;
        n -= (ULONG)k;
    }
    return 1;
}

/* Reads exactly n bytes before the deadline: 1; the connection ended or the
 * deadline passed first: 0, with *timed_out telling which. */
static int recv_all(QSOCKET s, UCHAR *p, ULONG n, ULONGLONG deadline, int *timed_out)
{
    while (n) {
        ULONGLONG now = now_ms();
        QFD_SET readable;
        QTIMEVAL wait;
        int k;
        if (now >= deadline) {
            *timed_out = 1;
            return 0;
        }
        readable.count = 1;
        readable.fd[0] = s;
        wait.sec = (LONG)((deadline - now) / 1000);
        wait.usec = (LONG)((deadline - now) % 1000 * 1000);
        k = select(0, &readable, NULL, NULL, &wait);
        if (k < 0)
            return 0;
        if (k == 0)
            continue;
        k = recv(s, (char *)p, n > 0x10000 ? 0x10000 : (int)n, 0);
        if (k <= 0)
            return 0;
        p += k;
        n -= (ULONG)k;
    }
    return 1;
}

NTSTATUS qel_channel_start(void)
{
    QWSADATA data;
    return WSAStartup(0x0202, &data) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

NTSTATUS qel_channel_request(USHORT port, const UCHAR *in, ULONG in_len, UCHAR *out,
                             ULONG out_len, ULONG *returned)
{
    QSOCKADDR_IN relay;
    QSOCKET s;
    UCHAR head[QEL_CHANNEL_REQUEST_HEADER], reply[QEL_CHANNEL_REPLY_HEADER];
    ULONG error, count;
    ULONG send_timeout = QEL_CHANNEL_TIME_LIMIT_MS;
    int timed_out = 0;
    NTSTATUS status;

    *returned = 0;
    if (!port)
        return STATUS_DEVICE_NOT_CONNECTED;
    if (in_len > QEL_CHANNEL_MAX_INPUT || out_len > QEL_CHANNEL_MAX_OUTPUT)
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(&relay, sizeof relay);
    relay.family = Q_AF_INET;
    relay.port = (USHORT)(port >> 8 | port << 8);
    relay.addr[0] = 127;
    relay.addr[3] = 1;

    s = socket(Q_AF_INET, Q_SOCK_STREAM, 0);
    if (s == QINVALID_SOCKET)
        return STATUS_INSUFFICIENT_RESOURCES;
    setsockopt(s, Q_SOL_SOCKET, Q_SO_SNDTIMEO, (const char *)&send_timeout, sizeof send_timeout);
    /* Nobody listening: the device is not there (any more). */
    if (connect(s, &relay, sizeof relay)) {
        closesocket(s);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    RtlCopyMemory(head, QEL_CHANNEL_REQUEST_MAGIC, QEL_CHANNEL_MAGIC_SIZE);
    put_le32(head + QEL_CHANNEL_REQUEST_CODE_AT, QEL_CONTROL_CODE);
    put_le32(head + QEL_CHANNEL_REQUEST_INPUT_AT, in_len);
    put_le32(head + QEL_CHANNEL_REQUEST_OUTPUT_AT, out_len);
    status = STATUS_IO_DEVICE_ERROR;
    if (!send_all(s, head, sizeof head) || !send_all(s, in, in_len))
        goto done;
    {
        const ULONGLONG deadline = now_ms() + QEL_CHANNEL_TIME_LIMIT_MS;
        if (!recv_all(s, reply, sizeof reply, deadline, &timed_out))
            goto done;
        if (RtlCompareMemory(reply, QEL_CHANNEL_REPLY_MAGIC, QEL_CHANNEL_MAGIC_SIZE)
            != QEL_CHANNEL_MAGIC_SIZE)
            goto done;
        error = get_le32(reply + QEL_CHANNEL_REPLY_ERROR_AT);
        count = get_le32(reply + QEL_CHANNEL_REPLY_COUNT_AT);
        /* A reply larger than the caller's buffer cannot be what the device
         * supplied for this request: the reply is broken, not shortened. */
        if (count > out_len || (error && count))
            goto done;
        if (!recv_all(s, out, count, deadline, &timed_out))
            goto done;
    }
    if (error) {
        status = status_of(error);
        goto done;
    }
    *returned = count;
    status = STATUS_SUCCESS;
done:
    if (timed_out)
        status = STATUS_IO_TIMEOUT;
    closesocket(s);
    return status;
}
