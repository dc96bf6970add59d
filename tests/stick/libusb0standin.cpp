// A stand-in for libusb0.dll, the libusb-win32 driver's library, built for
// the Windows tests only (never installed): scripts/test-windows.sh puts it
// into the Wine prefix's System32, as the driver package puts the real one.
//
// It lists one ANT USB-m stick (0fcf:1009) whose bulk endpoints carry bytes
// to and from the COM port named in PULVANE_LIBUSB0_PORT (read at each
// usb_find_devices; no port named, no stick). A port that hangs up (its reads
// keep ending empty) is a stick pulled out. More exports serve the transport's
// tests: standin_unplug, standin_hold_reads, standin_wedge_writes,
// standin_older_library and standin_counts. It reads as the real library
// does (see readPort and cancel) and fails as it does: an ended transfer
// (cancelled, or its stick pulled out) is reaped as -116 at once, on every
// reap until submitted anew; a held or removed stick is -5; a claim without
// a configuration -22.
//
// Linked statically: the library is loaded from System32 alone, so it may
// need nothing but Windows' own DLLs.
#include "libusb0_win.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace pulvane::stick::libusb0;

namespace {

constexpr int kInvalid = -22;
constexpr int kIoError = -5;
constexpr DWORD kChunk = 4096;
constexpr int kEmptyReadsAtHangUp = 3;
constexpr int kPacket = 64;

// One per usb_open; the one that claimed interface 0 owns the port.
struct Handle
{
    int configuration;
};

// One asynchronous context with its transfer. An ended one gives its result
// to every reap until submitted anew (the library's event is manual-reset).
struct Transfer
{
    Handle *handle;
    int endpoint;
    char *bytes;
    int size;
    int got;
    bool pending;
    bool ended;
    int result;
    OVERLAPPED writeOv;
};

struct State
{
    Bus bus{};
    Device device{};
    char port[64] = {};
    char error[256] = {};
    Handle *owner = nullptr;
    HANDLE com = INVALID_HANDLE_VALUE;
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
    OVERLAPPED readOv{};
    bool readPending = false;
    char chunk[kChunk];
    DWORD chunkSize = 0;
    DWORD chunkTaken = 0;
    volatile LONG unplugged = 0;
    volatile LONG holdReads = 0;
    volatile LONG wedgeWrites = 0;
    volatile LONG olderLibrary = 0;
    volatile LONG readsInside = 0;
    volatile LONG closedDuringRead = 0;
    volatile LONG releases = 0;
    volatile LONG closes = 0;
    volatile LONG configurationsSet = 0;
    volatile LONG freedUnreaped = 0;
    volatile LONG reaps = 0;
    volatile LONG contexts = 0;
} g;

int failWith(int code, const char *text)
{
    std::snprintf(g.error, sizeof g.error, "libusb0-dll:err [stand-in] %s", text);
    return code;
}

void closePort()
{
    if (g.com == INVALID_HANDLE_VALUE)
        return;
    if (g.readPending) {
        CancelIoEx(g.com, &g.readOv);
        DWORD n = 0;
        GetOverlappedResult(g.com, &g.readOv, &n, TRUE);
        g.readPending = false;
    }
    CloseHandle(g.com);
    g.com = INVALID_HANDLE_VALUE;
    g.chunkSize = g.chunkTaken = 0;
}

bool openPort()
{
    char path[96];
    std::snprintf(path, sizeof path, "\\\\.\\%s", g.port);
    g.com = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    if (g.com == INVALID_HANDLE_VALUE)
        return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(g.com, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
    SetCommState(g.com, &dcb);
    // A read ends once bytes came and the line stayed quiet for 1 ms.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1;
    SetCommTimeouts(g.com, &timeouts);
    if (!g.readEvent)
        g.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g.writeEvent)
        g.writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return true;
}

int end(Transfer &t, int result)
{
    t.pending = false;
    t.ended = true;
    return t.result = result;
}

// Gathers the transfer for up to timeoutMs, with the port's read pending
// across calls. Bytes that reached the port together come as packets of at
// most 64 bytes; a short packet or a full buffer completes the transfer, and
// at the time-out it keeps what it holds.
int readPort(Transfer &t, int timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeoutMs);
    int empty = 0;
    for (;;) {
        while (g.chunkTaken < g.chunkSize) {
            const int packet = std::min(kPacket, int(g.chunkSize - g.chunkTaken));
            std::memcpy(t.bytes + t.got, g.chunk + g.chunkTaken,
                        size_t(std::min(packet, t.size - t.got)));
            t.got = std::min(t.size, t.got + packet);
            g.chunkTaken += DWORD(packet);
            if (packet < kPacket || t.got == t.size)
                return end(t, t.got);
        }
        if (!g.readPending) {
            g.readOv = OVERLAPPED{};
            g.readOv.hEvent = g.readEvent;
            ResetEvent(g.readEvent);
            if (!ReadFile(g.com, g.chunk, kChunk, nullptr, &g.readOv) &&
                GetLastError() != ERROR_IO_PENDING)
                return end(t, failWith(kIoError, "reading the port failed"));
            g.readPending = true;
        }
        const ULONGLONG now = GetTickCount64();
        const DWORD wait = now < deadline ? DWORD(deadline - now) : 0;
        if (WaitForSingleObject(g.readEvent, wait) != WAIT_OBJECT_0)
            return failWith(kTimedOut, "timeout error");
        DWORD n = 0;
        g.readPending = false;
        GetOverlappedResult(g.com, &g.readOv, &n, FALSE);
        g.chunkSize = n;
        g.chunkTaken = 0;
        if (n > 0)
            continue;
        // Reads that keep ending empty: the line hung up, the stick is out.
        if (++empty >= kEmptyReadsAtHangUp) {
            InterlockedExchange(&g.unplugged, 1);
            return end(t, failWith(kTimedOut, "timeout error"));
        }
        Sleep(10);
    }
}

// What the transfer gathered is lost, with a packet that arrived just then.
void cancel()
{
    if (g.readPending && WaitForSingleObject(g.readEvent, 0) == WAIT_OBJECT_0) {
        g.readPending = false;
        g.chunkSize = g.chunkTaken = 0;
        GetOverlappedResult(g.com, &g.readOv, &g.chunkSize, FALSE);
    }
    g.chunkTaken += std::min(DWORD(kPacket), g.chunkSize - g.chunkTaken);
}

// A write: its bytes, or at the time-out still pending.
int waitWrite(Transfer &t, int timeout)
{
    if (g.wedgeWrites)
        Sleep(DWORD(timeout));
    if (g.wedgeWrites || WaitForSingleObject(g.writeEvent, DWORD(timeout)) != WAIT_OBJECT_0)
        return failWith(kTimedOut, "timeout error");
    DWORD n = 0;
    if (!GetOverlappedResult(g.com, &t.writeOv, &n, FALSE))
        return end(t, failWith(kIoError, "writing the port failed"));
    return end(t, int(n));
}

} // namespace

#define STANDIN_EXPORT extern "C" __declspec(dllexport)

STANDIN_EXPORT void usb_init() {}

STANDIN_EXPORT int usb_find_busses()
{
    std::strcpy(g.bus.dirname, "bus-0");
    return 0;
}

STANDIN_EXPORT int usb_find_devices()
{
    const DWORD n = GetEnvironmentVariableA("PULVANE_LIBUSB0_PORT", g.port, sizeof g.port);
    if (n == 0 || n >= sizeof g.port || g.unplugged == 1)
        g.port[0] = '\0';
    g.device.descriptor = DeviceDescriptor{18, 1, 0x0200, 0, 0, 0, 64, 0x0FCF, 0x1009, 0x0100,
                                           1, 2, 3, 1};
    std::strcpy(g.device.filename, "\\\\.\\libusb0-0001--0x0fcf-0x1009");
    g.device.bus = &g.bus;
    g.device.devnum = 1;
    g.bus.devices = g.port[0] ? &g.device : nullptr;
    return 0;
}

STANDIN_EXPORT Bus *usb_get_busses()
{
    return &g.bus;
}

STANDIN_EXPORT DevHandle *usb_open(Device *device)
{
    if (device != &g.device || !g.port[0]) {
        failWith(0, "no such device");
        return nullptr;
    }
    // The 1.2.x library reads the configuration; the 0.1.12 era's does not.
    return reinterpret_cast<DevHandle *>(new Handle{g.olderLibrary ? 0 : 1});
}

STANDIN_EXPORT int usb_release_interface(DevHandle *h, int number)
{
    if (number != 0 || reinterpret_cast<Handle *>(h) != g.owner)
        return failWith(kInvalid, "interface not claimed");
    g.owner = nullptr;
    closePort();
    InterlockedIncrement(&g.releases);
    return 0;
}

STANDIN_EXPORT int usb_close(DevHandle *h)
{
    if (g.readsInside > 0)
        InterlockedIncrement(&g.closedDuringRead);
    if (reinterpret_cast<Handle *>(h) == g.owner)
        usb_release_interface(h, 0);
    delete reinterpret_cast<Handle *>(h);
    InterlockedIncrement(&g.closes);
    return 0;
}

STANDIN_EXPORT int usb_set_configuration(DevHandle *h, int configuration)
{
    InterlockedIncrement(&g.configurationsSet);
    if (g.unplugged || configuration != 1)
        return failWith(kIoError, "could not set config 1");
    reinterpret_cast<Handle *>(h)->configuration = configuration;
    return 0;
}

// GET_CONFIGURATION alone.
STANDIN_EXPORT int usb_control_msg(DevHandle *, int type, int request, int, int, char *bytes,
                                   int size, int)
{
    if (type != 0x80 || request != 0x08 || size < 1)
        return failWith(kInvalid, "request not supported");
    *bytes = 1;
    return 1;
}

STANDIN_EXPORT int usb_claim_interface(DevHandle *h, int number)
{
    auto *handle = reinterpret_cast<Handle *>(h);
    if (number != 0)
        return failWith(kInvalid, "no such interface");
    if (handle->configuration == 0)
        return failWith(kInvalid, "invalid configuration 0");
    if (g.unplugged == 2)
        InterlockedExchange(&g.unplugged, 1);
    if (g.unplugged || (g.owner && g.owner != handle))
        return failWith(kIoError, "interface held by another handle");
    if (g.owner == handle)
        return 0;
    if (!openPort())
        return failWith(kIoError, "the port behind the stick cannot be opened");
    g.owner = handle;
    return 0;
}

STANDIN_EXPORT int usb_bulk_setup_async(DevHandle *h, void **context, unsigned char endpoint)
{
    *context = new Transfer{reinterpret_cast<Handle *>(h), endpoint};
    InterlockedIncrement(&g.contexts);
    return 0;
}

STANDIN_EXPORT int usb_submit_async(void *context, char *bytes, int size)
{
    Transfer &t = *static_cast<Transfer *>(context);
    if (g.unplugged || t.handle != g.owner)
        return failWith(kIoError, "submitting request failed");
    t = Transfer{t.handle, t.endpoint, bytes, size, 0, true};
    t.writeOv.hEvent = g.writeEvent;
    ResetEvent(g.writeEvent);
    if ((t.endpoint & 0x80) || g.wedgeWrites ||
        WriteFile(g.com, bytes, DWORD(size), nullptr, &t.writeOv) ||
        GetLastError() == ERROR_IO_PENDING)
        return 0;
    return end(t, failWith(kIoError, "submitting request failed"));
}

STANDIN_EXPORT int usb_reap_async_nocancel(void *context, int timeout)
{
    Transfer &t = *static_cast<Transfer *>(context);
    InterlockedIncrement(&g.reaps);
    InterlockedIncrement(&g.readsInside);
    // A read that ignores its time-out, as a stuck driver's would.
    while (g.holdReads && !g.unplugged && t.pending && (t.endpoint & 0x80))
        Sleep(5);
    // Pulled out: the driver ends what is pending, aborted.
    if (g.unplugged && t.pending)
        end(t, kTimedOut);
    // Every -116 writes the one error text.
    int n = t.result == kTimedOut ? failWith(kTimedOut, "timeout error") : t.result;
    if (!t.ended && !t.pending)
        n = failWith(kInvalid, "nothing submitted");
    else if (t.pending)
        n = (t.endpoint & 0x80) ? readPort(t, timeout) : waitWrite(t, timeout);
    InterlockedDecrement(&g.readsInside);
    return n;
}

// The transfer ends aborted; the reap that follows gives it back.
STANDIN_EXPORT int usb_cancel_async(void *context)
{
    Transfer &t = *static_cast<Transfer *>(context);
    if (t.pending && (t.endpoint & 0x80))
        cancel();
    else if (t.pending && !g.wedgeWrites)
        CancelIoEx(g.com, &t.writeOv);
    if (t.pending)
        end(t, kTimedOut);
    return 0;
}

STANDIN_EXPORT int usb_free_async(void **context)
{
    if (static_cast<Transfer *>(*context)->pending)
        InterlockedIncrement(&g.freedUnreaped);
    delete static_cast<Transfer *>(*context);
    InterlockedDecrement(&g.contexts);
    *context = nullptr;
    return 0;
}

STANDIN_EXPORT const Version *usb_get_version()
{
    static const Version version{{1, 2, 7, 3}, {1, 2, 7, 3}};
    return &version;
}

STANDIN_EXPORT char *usb_strerror()
{
    return g.error;
}

// 1: the stick is pulled out, 2: it is at the next claim; 0 plugs it back in.
STANDIN_EXPORT void standin_unplug(int unplugged)
{
    InterlockedExchange(&g.unplugged, unplugged);
}

// While set, reads wait on past their time-out.
STANDIN_EXPORT void standin_hold_reads(int hold)
{
    InterlockedExchange(&g.holdReads, hold);
}

// While set, writes never end on their own.
STANDIN_EXPORT void standin_wedge_writes(int wedge)
{
    InterlockedExchange(&g.wedgeWrites, wedge);
}

// While set, usb_open leaves a handle without a configuration.
STANDIN_EXPORT void standin_older_library(int older)
{
    InterlockedExchange(&g.olderLibrary, older);
}

// counts[0] releases, [1] closes, [2] closes while a read was inside,
// [3] reads inside now, [4] configurations set, [5] transfers freed unreaped,
// [6] reaps, [7] contexts not freed.
STANDIN_EXPORT void standin_counts(long counts[8])
{
    counts[0] = g.releases;
    counts[1] = g.closes;
    counts[2] = g.closedDuringRead;
    counts[3] = g.readsInside;
    counts[4] = g.configurationsSet;
    counts[5] = g.freedUnreaped;
    counts[6] = g.reaps;
    counts[7] = g.contexts;
}
