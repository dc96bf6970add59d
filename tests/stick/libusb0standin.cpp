// A stand-in for libusb0.dll, the libusb-win32 driver's library, built for
// the Windows tests only (never installed): scripts/test-windows.sh puts it
// into the Wine prefix's System32, as the driver package puts the real one.
//
// It lists one ANT USB-m stick (0fcf:1009) whose bulk endpoints carry bytes
// to and from the COM port named in PULVANE_LIBUSB0_PORT (read at each
// usb_find_devices; no port named, no stick). A port that hangs up (its reads
// keep ending empty) is a stick pulled out. Four more exports serve the
// transport's tests: standin_unplug, standin_hold_reads, standin_configuration
// and standin_counts.
//
// It reads as the real library does: bytes that reach the port together come
// as packets of at most 64 bytes; a transfer completes on a short packet or a
// full buffer; usb_bulk_read and usb_reap_async cancel a transfer on its
// time-out and what it gathered is lost, with a packet that arrived just then;
// usb_reap_async_nocancel leaves it pending with what it holds.
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
constexpr int kBusy = -16;
constexpr int kNoDevice = -19;
constexpr int kIoError = -5;
constexpr DWORD kChunk = 4096;
constexpr int kPacket = 64;
constexpr int kEmptyReadsAtHangUp = 3;

// One per usb_open; the one that claimed interface 0 owns the port.
struct Handle
{
};

// One IN transfer: the one usb_bulk_read makes for itself, or an
// asynchronous context.
struct Transfer
{
    char *bytes = nullptr;
    int size = 0;
    int got = 0;
    bool pending = false;
    // Cancelled and not reaped since.
    bool cancelled = false;
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
    volatile LONG readsInside = 0;
    volatile LONG closedDuringRead = 0;
    volatile LONG releases = 0;
    volatile LONG closes = 0;
    int configuration = 1;
    volatile LONG refuseConfiguration = 0;
    volatile LONG configurationsSet = 0;
    volatile LONG freedUnreaped = 0;
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

// Waits until deadline for bytes from the port, with the port's read left
// pending across calls: 1 when bytes came into the chunk, 0 at the deadline,
// or a failure code.
int fillChunk(ULONGLONG deadline)
{
    int empty = 0;
    for (;;) {
        if (!g.readPending) {
            g.readOv = OVERLAPPED{};
            g.readOv.hEvent = g.readEvent;
            ResetEvent(g.readEvent);
            if (!ReadFile(g.com, g.chunk, kChunk, nullptr, &g.readOv) &&
                GetLastError() != ERROR_IO_PENDING)
                return failWith(kIoError, "reading the port failed");
            g.readPending = true;
        }
        const ULONGLONG now = GetTickCount64();
        const DWORD wait = now < deadline ? DWORD(deadline - now) : 0;
        if (WaitForSingleObject(g.readEvent, wait) != WAIT_OBJECT_0)
            return 0;
        DWORD n = 0;
        g.readPending = false;
        if (!GetOverlappedResult(g.com, &g.readOv, &n, FALSE))
            return failWith(kIoError, "the device is not connected");
        g.chunkSize = n;
        g.chunkTaken = 0;
        if (n > 0)
            return 1;
        // Reads that keep ending empty: the line hung up.
        if (++empty >= kEmptyReadsAtHangUp)
            return failWith(kIoError, "the device is not connected");
        Sleep(10);
    }
}

// Moves packets into a pending transfer: 1 once a short packet or a full
// buffer completed it, 0 when the time-out passed first (it keeps what it
// holds), or a failure code.
int gather(Transfer &t, int timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeoutMs);
    for (;;) {
        while (g.chunkTaken < g.chunkSize) {
            const int packet = std::min(kPacket, int(g.chunkSize - g.chunkTaken));
            const int n = std::min(packet, t.size - t.got);
            std::memcpy(t.bytes + t.got, g.chunk + g.chunkTaken, size_t(n));
            t.got += n;
            g.chunkTaken += DWORD(packet);
            if (packet < kPacket || t.got == t.size) {
                t.pending = false;
                return 1;
            }
        }
        const int rc = fillChunk(deadline);
        if (rc <= 0)
            return rc;
    }
}

// What a transfer gathered is lost, and so is a packet that arrived just as
// it was cancelled.
void cancel(Transfer &t)
{
    if (g.chunkTaken >= g.chunkSize && g.readPending &&
        WaitForSingleObject(g.readEvent, 0) == WAIT_OBJECT_0) {
        DWORD n = 0;
        g.readPending = false;
        if (GetOverlappedResult(g.com, &g.readOv, &n, FALSE)) {
            g.chunkSize = n;
            g.chunkTaken = 0;
        }
    }
    if (g.chunkTaken < g.chunkSize)
        g.chunkTaken += DWORD(std::min(kPacket, int(g.chunkSize - g.chunkTaken)));
    t.got = 0;
    t.pending = false;
    t.cancelled = true;
}

// A read on endpoint 0x81 through handle h: the transfer's bytes, or a
// failure code. Reaping a cancelled transfer fails.
int read(DevHandle *h, Transfer &t, int timeoutMs, bool cancelAtTimeOut)
{
    InterlockedIncrement(&g.readsInside);
    // A read that ignores its time-out, as a stuck driver's would.
    while (g.holdReads && !g.unplugged)
        Sleep(5);
    int n;
    if (g.unplugged) {
        n = failWith(kNoDevice, "the device is not connected");
    } else if (reinterpret_cast<Handle *>(h) != g.owner) {
        n = failWith(kInvalid, "interface not claimed");
    } else if (t.cancelled) {
        t.cancelled = false;
        n = failWith(kIoError, "the transfer was cancelled");
    } else if (!t.pending) {
        n = failWith(kInvalid, "no transfer submitted");
    } else {
        n = gather(t, timeoutMs);
        if (n > 0)
            n = t.got;
        else if (n == 0) {
            if (cancelAtTimeOut)
                cancel(t);
            n = failWith(kTimedOut, "timeout");
        }
    }
    InterlockedDecrement(&g.readsInside);
    return n;
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
    if (n == 0 || n >= sizeof g.port)
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
    return reinterpret_cast<DevHandle *>(new Handle);
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

STANDIN_EXPORT int usb_set_configuration(DevHandle *, int configuration)
{
    InterlockedIncrement(&g.configurationsSet);
    if (g.refuseConfiguration)
        return failWith(kIoError, "could not set config 1: the device is in use");
    if (configuration != 1)
        return failWith(kInvalid, "no such configuration");
    g.configuration = configuration;
    return 0;
}

// GET_CONFIGURATION alone.
STANDIN_EXPORT int usb_control_msg(DevHandle *, int requestType, int request, int, int, char *bytes,
                                   int size, int)
{
    if (requestType != 0x80 || request != 0x08 || size < 1)
        return failWith(kInvalid, "request not supported");
    bytes[0] = char(g.configuration);
    return 1;
}

STANDIN_EXPORT int usb_claim_interface(DevHandle *h, int number)
{
    auto *handle = reinterpret_cast<Handle *>(h);
    if (number != 0)
        return failWith(kInvalid, "no such interface");
    if (g.owner && g.owner != handle)
        return failWith(kBusy, "interface held by another handle");
    if (g.owner == handle)
        return 0;
    if (!openPort())
        return failWith(kNoDevice, "the port behind the stick cannot be opened");
    g.owner = handle;
    return 0;
}

STANDIN_EXPORT int usb_bulk_write(DevHandle *h, int endpoint, char *bytes, int size, int timeout)
{
    if (g.unplugged)
        return failWith(kNoDevice, "the device is not connected");
    if (endpoint != 0x01 || reinterpret_cast<Handle *>(h) != g.owner)
        return failWith(kInvalid, "bad endpoint or interface not claimed");
    OVERLAPPED ov{};
    ov.hEvent = g.writeEvent;
    ResetEvent(g.writeEvent);
    DWORD n = 0;
    if (!WriteFile(g.com, bytes, DWORD(size), nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return failWith(kIoError, "writing the port failed");
    if (WaitForSingleObject(g.writeEvent, DWORD(timeout)) != WAIT_OBJECT_0) {
        CancelIoEx(g.com, &ov);
        GetOverlappedResult(g.com, &ov, &n, TRUE);
        return failWith(kTimedOut, "timeout");
    }
    if (!GetOverlappedResult(g.com, &ov, &n, FALSE))
        return failWith(kIoError, "writing the port failed");
    return int(n);
}

STANDIN_EXPORT int usb_bulk_read(DevHandle *h, int endpoint, char *bytes, int size, int timeout)
{
    if (endpoint != 0x81)
        return failWith(kInvalid, "bad endpoint");
    Transfer t;
    t.bytes = bytes;
    t.size = size;
    t.pending = true;
    return read(h, t, timeout, true);
}

struct Context
{
    DevHandle *handle;
    Transfer transfer;
};

STANDIN_EXPORT int usb_bulk_setup_async(DevHandle *h, void **context, unsigned char endpoint)
{
    if (endpoint != 0x81)
        return failWith(kInvalid, "bad endpoint");
    *context = new Context{h, {}};
    return 0;
}

STANDIN_EXPORT int usb_submit_async(void *context, char *bytes, int size)
{
    Transfer &t = static_cast<Context *>(context)->transfer;
    if (t.pending || t.cancelled)
        return failWith(kBusy, "the transfer is still pending");
    t = Transfer{bytes, size, 0, true, false};
    return 0;
}

STANDIN_EXPORT int usb_reap_async(void *context, int timeout)
{
    auto *c = static_cast<Context *>(context);
    return read(c->handle, c->transfer, timeout, true);
}

STANDIN_EXPORT int usb_reap_async_nocancel(void *context, int timeout)
{
    auto *c = static_cast<Context *>(context);
    return read(c->handle, c->transfer, timeout, false);
}

STANDIN_EXPORT int usb_cancel_async(void *context)
{
    Transfer &t = static_cast<Context *>(context)->transfer;
    if (t.pending)
        cancel(t);
    return 0;
}

STANDIN_EXPORT int usb_free_async(void **context)
{
    auto *c = static_cast<Context *>(*context);
    if (c->transfer.pending || c->transfer.cancelled)
        InterlockedIncrement(&g.freedUnreaped);
    delete c;
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

// Every later transfer fails as on a stick pulled out (0 plugs it back in).
STANDIN_EXPORT void standin_unplug(int unplugged)
{
    InterlockedExchange(&g.unplugged, unplugged);
}

// While set, reads wait on past their time-out.
STANDIN_EXPORT void standin_hold_reads(int hold)
{
    InterlockedExchange(&g.holdReads, hold);
}

// The stick's configuration now (0: none), and whether setting one fails.
STANDIN_EXPORT void standin_configuration(int current, int refuse)
{
    g.configuration = current;
    InterlockedExchange(&g.refuseConfiguration, refuse);
}

// counts[0] releases, [1] closes, [2] closes while a read was inside,
// [3] reads inside now, [4] configurations set, [5] transfers freed while
// pending or before their cancel was reaped.
STANDIN_EXPORT void standin_counts(long counts[6])
{
    counts[0] = g.releases;
    counts[1] = g.closes;
    counts[2] = g.closedDuringRead;
    counts[3] = g.readsInside;
    counts[4] = g.configurationsSet;
    counts[5] = g.freedUnreaped;
}
