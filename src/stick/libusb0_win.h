// libusb0.dll, the user library of the libusb-win32 driver (libusb0.sys) that
// the bulk sticks' maker installs and the training applications use. Windows
// only. The library is loaded at run time from System32 and nowhere else:
// nothing of it is linked into the program or shipped with it, and where it
// is absent the program goes on without it.
//
// Its structures are declared here as the library lays them out (libusb-0.1
// style, byte-packed, unsigned long 4 bytes wide); the asserts below pin every
// size and offset the program and the test stand-in rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Declared only: the test stand-in of the library shares these declarations
// and links nothing of Qt.
class QString;

namespace pulvane::stick::libusb0 {

inline constexpr int kPathMax = 512;
// What a reap returns when its wait timed out, and also what it returns for
// a transfer that has ended aborted (cancelled, or ended by the driver on an
// unplug, a port reset or a sleep): the library maps both to this code.
inline constexpr int kTimedOut = -116;

struct Bus;
struct Device;
// Opaque to its users: only the library looks inside.
struct DevHandle;
struct ConfigDescriptor;

#pragma pack(push, 1)
struct DeviceDescriptor
{
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

struct Device
{
    Device *next;
    Device *prev;
    // "\\.\libusb0-0001--0x0fcf-0x1009": names the device while it stays
    // plugged in.
    char filename[kPathMax];
    Bus *bus;
    DeviceDescriptor descriptor;
    ConfigDescriptor *config;
    void *dev;
    uint8_t devnum;
    uint8_t num_children;
    Device **children;
};

struct Bus
{
    Bus *next;
    Bus *prev;
    char dirname[kPathMax];
    Device *devices;
    uint32_t location;
    Device *root_dev;
};

// What usb_get_version fills in; -1 where a part is unknown (the driver's
// version when no device of it answered).
struct Version
{
    struct Part
    {
        int major;
        int minor;
        int micro;
        int nano;
    };
    Part dll;
    Part driver;
};
#pragma pack(pop)

static_assert(sizeof(DeviceDescriptor) == 18);
static_assert(offsetof(Bus, next) == 0 && offsetof(Bus, prev) == 8);
static_assert(offsetof(Bus, dirname) == 16 && offsetof(Bus, devices) == 528);
static_assert(offsetof(Bus, location) == 536 && offsetof(Bus, root_dev) == 540);
static_assert(sizeof(Bus) == 548);
static_assert(offsetof(Device, next) == 0 && offsetof(Device, prev) == 8);
static_assert(offsetof(Device, filename) == 16 && offsetof(Device, bus) == 528);
static_assert(offsetof(Device, descriptor) == 536);
static_assert(offsetof(Device, descriptor) + offsetof(DeviceDescriptor, idVendor) == 544);
static_assert(offsetof(Device, descriptor) + offsetof(DeviceDescriptor, idProduct) == 546);
static_assert(offsetof(Device, config) == 554 && offsetof(Device, dev) == 562);
static_assert(offsetof(Device, devnum) == 570 && offsetof(Device, num_children) == 571);
static_assert(offsetof(Device, children) == 572);
static_assert(sizeof(Device) == 580);
static_assert(sizeof(Version) == 32);

// The library's calls as it exports them. Plain C functions (x64 has a single
// calling convention).
struct Calls
{
    void (*init)();
    int (*findBusses)();
    int (*findDevices)();
    Bus *(*getBusses)();
    DevHandle *(*open)(Device *device);
    int (*close)(DevHandle *handle);
    int (*setConfiguration)(DevHandle *handle, int configuration);
    int (*claimInterface)(DevHandle *handle, int number);
    int (*releaseInterface)(DevHandle *handle, int number);
    int (*bulkSetupAsync)(DevHandle *handle, void **context, unsigned char endpoint);
    int (*submitAsync)(void *context, char *bytes, int size);
    int (*reapAsyncNocancel)(void *context, int timeoutMs);
    int (*cancelAsync)(void *context);
    int (*freeAsync)(void **context);
    const Version *(*getVersion)();
    char *(*strerror)();
};

// One loaded copy of the library, shared by everything that uses it while any
// holder keeps it: the DLL is loaded once per process whatever we do, and one
// object standing for it lets every opening know which of its devices a
// reader of ours still holds.
//
// Results are the library's: the bytes moved or a value >= 0, kTimedOut, or
// another negative errno-style code. The library keeps one error text for all
// threads, so each call that can fail reads it on the calling thread straight
// after the call and hands it back through error (left alone on success).
class Library
{
public:
    // A loaded library, or none and why not (as ant::OpenedStick tells it).
    // A template only so that the stand-in, built without Qt, can include this.
    template <class Text = QString> struct LoadedAs
    {
        std::shared_ptr<const Library> library;
        Text why;
        explicit operator bool() const { return bool(library); }
    };
    using Loaded = LoadedAs<>;
    // Loads libusb0.dll from System32 only (a copy beside the program is never
    // taken) and calls its usb_init; while one is held, returns that one. None
    // when it cannot be loaded or lacks one of the calls; why then says which,
    // with the system's error code and text for a failed load.
    static Loaded load();
    // Why the library cannot be loaded now; empty when it can.
    static QString loadFailure();
    ~Library();

    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    // "libusb0.dll 1.2.7.3, driver libusb0.sys 1.2.7.3", for the diagnostics.
    // Calls usb_init first: the library reads the driver's version from a
    // device of its present at that moment, unknown where none was.
    QString versionLine() const;

    int findBusses() const { return m_calls.findBusses(); }
    int findDevices() const { return m_calls.findDevices(); }
    Bus *getBusses() const { return m_calls.getBusses(); }
    DevHandle *open(Device *device, QString *error) const;
    int close(DevHandle *handle) const { return m_calls.close(handle); }
    int setConfiguration(DevHandle *handle, int configuration, QString *error) const;
    int claimInterface(DevHandle *handle, int number, QString *error) const;
    int releaseInterface(DevHandle *handle, int number) const;
    // The device named name (its filename) among those the library lists
    // now, without asking it to list them again; null when it is not there.
    Device *listed(const QString &name) const;
    // The same after the library lists its devices again.
    Device *listedAfresh(const QString &name) const;

    // One asynchronous transfer: set up once, then submitted and reaped in
    // turn. A reap that times out leaves the transfer pending with what it
    // has gathered; a transfer is cancelled only by cancelAsync, and a
    // cancelled one is reaped before freeAsync.
    int bulkSetupAsync(DevHandle *handle, void **context, int endpoint, QString *error) const;
    int submitAsync(void *context, char *bytes, int size, QString *error) const;
    // ended tells whether the transfer is over (given back): a result other
    // than kTimedOut, or kTimedOut well before timeoutMs, which is a
    // transfer that ended aborted (every later reap of it returns at once).
    int reapAsyncNocancel(void *context, int timeoutMs, bool *ended, QString *error) const;
    // Cancels the pending transfer and reaps it until given back, for at
    // most timeoutMs; then frees the context. False when it was not given
    // back: the context is then left to the library, a leak, where freeing
    // it under the driver would corrupt memory.
    bool cancelAndFree(void **context, int timeoutMs) const;
    int freeAsync(void **context) const { return m_calls.freeAsync(context); }

    // A reader of ours that its transport stopped waiting for still holds
    // the device named deviceName (its filename); it is let go when that
    // reader is done with it. Callable from any thread.
    void readerOut(const QString &deviceName) const;
    void readerLetGo(const QString &deviceName) const;
    // Waits up to timeoutMs until no reader of ours holds the device; false
    // when one still does.
    bool waitForReaders(const QString &deviceName, int timeoutMs) const;

private:
    Library() = default;
    // The library's text for the call that just failed on this thread.
    void takeError(int result, QString *error, const char *call) const;

    Calls m_calls{};
    void *m_module = nullptr;
    struct Readers;
    std::unique_ptr<Readers> m_readers;
};

} // namespace pulvane::stick::libusb0
