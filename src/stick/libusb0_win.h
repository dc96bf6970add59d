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
// What a transfer returns when its time-out passed with nothing moved.
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

// The calls of one loaded copy of the library. Plain C functions (x64 has a
// single calling convention). A failed call also sets the text strerror
// returns, which is shared by all threads: read it right after the call.
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
    // Return the bytes moved, kTimedOut, or another negative errno-style code.
    int (*bulkWrite)(DevHandle *handle, int endpoint, char *bytes, int size, int timeoutMs);
    int (*bulkRead)(DevHandle *handle, int endpoint, char *bytes, int size, int timeoutMs);
    char *(*strerror)();
};

class Library : public Calls
{
public:
    // Loads libusb0.dll from System32 only (a copy beside the program is never
    // taken) and calls its usb_init. Null when it is not there or lacks one
    // of the calls; why then says which. Each load holds the library until
    // the last holder lets it go.
    static std::shared_ptr<const Library> load(QString *why = nullptr);
    ~Library();

    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    // The library's text for the last failed call, or fallback without one.
    QString lastError(const QString &fallback) const;

private:
    Library() = default;
    void *m_module = nullptr;
};

} // namespace pulvane::stick::libusb0
