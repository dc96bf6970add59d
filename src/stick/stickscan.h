// What the platform finds before the stick list orders it: bulk sticks
// through libusb (bulkscan.cpp, every platform) and, on Windows, through the
// maker's driver (stickdrivers_win.cpp); serial sticks, one file per
// platform chosen by the build (serialscan_linux.cpp: sysfs;
// serialscan_win.cpp: COM ports through SetupAPI); the virtual-stick
// directory, Linux only (virtualsticks_linux.cpp).
//
// Called on the thread that opens sticks, at each ANT_Init; each scan reads
// what is plugged in now and keeps nothing.
#pragma once

#include "processes.h"
#include "sticklocation.h"

#include <QList>
#include <QString>
#include <optional>

namespace pulvane::stick {

// A bulk stick (0fcf:1008, 0fcf:1009) that libusb or libusb0.dll lists.
struct BulkStickFound
{
    StickLocation location;
    // The device's address on its bus as libusb gives it; none for a stick
    // libusb0.dll lists, which tells no address.
    std::optional<int> deviceAddress;
    // False when libusb was refused access (no udev rule).
    bool reachable = false;
};

// A serial node whose USB parent is an ANT stick.
struct SerialStickFound
{
    QString node;
    // The node with every link resolved, to compare with virtual entries;
    // filled by findSticks only when there are virtual entries.
    QString target;
    uint16_t productId = 0;
    int busNumber = 0;
    // The USB device's address on its bus, where the platform tells it
    // (sysfs); none for a COM port. A serial stick is the same device as a
    // bulk stick only when both have an address and they agree.
    std::optional<int> deviceAddress;
    QList<int> portNumbers;
    // We may open the node for reading and writing.
    bool readWrite = false;
};

// A vetted entry of the virtual-stick directory.
struct VirtualStickFound
{
    StickLocation location;
    // The device the entry leads to, every link resolved.
    QString target;
};

// The entry for a stick libusb0.dll lists, as scanDrivers makes it:
// name is the device's name there ("\\.\libusb0-0001--0x0fcf-0x1009").
BulkStickFound libusb0StickFound(const QString &name, uint16_t productId);
// The entry for a bridge stick's COM port ("COM5"), as scanSerialSticks
// makes it on Windows.
SerialStickFound comPortStickFound(const QString &port, uint16_t productId,
                                   const QList<int> &portNumbers);

// The sticks libusb can drive; one whose driver libusb cannot use at all (on
// Windows the maker's libusb-win32 driver, or none) is left to the scans
// that can.
QList<BulkStickFound> scanBulkSticks();
QList<SerialStickFound> scanSerialSticks();
// The vetted entries of the virtual-stick directory, by name (Linux only).
QList<VirtualStickFound> scanVirtualSticks(const QString &directory,
                                           const host::ProcessSnapshot &processes);

} // namespace pulvane::stick
