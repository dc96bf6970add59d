// COM ports as Windows lists them (SetupAPI, the Ports class), with the USB
// identity of the device behind each. The listing is Windows only
// (comports_win.cpp); the parsing of what SetupAPI returns is plain text
// work that every platform builds and tests.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace pulvane::stick {

struct UsbIds
{
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

struct ComPortFound
{
    // "COM5".
    QString port;
    // Vendor and product of the USB device behind the port, when it is one.
    std::optional<UsbIds> usb;
    // The USB ports from the root hub down, read from the location path;
    // empty when unknown.
    QList<int> portNumbers;
    // The device's own name in the device manager, for messages.
    QString friendlyName;
};

// The vendor and product of a USB hardware ID such as
// "USB\VID_0FCF&PID_1004&REV_0100" or "FTDIBUS\COMPORT&VID_0403&PID_6001";
// nothing for IDs without both.
std::optional<UsbIds> usbIdsFromHardwareIds(const QStringList &hardwareIds);
// The USB port chain of a location path such as
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)#USBMI(0)" -> 2, 4.
QList<int> usbPortsFromLocationPath(const QString &locationPath);
// The port chain of the location path among paths (SPDRP_LOCATION_PATHS, a
// list) that runs through a USB root hub ("USBROOT("); empty when none does
// (the list may hold an ACPI path first, with no USB part).
QList<int> usbPortsFromLocationPaths(const QStringList &paths);
// The device's own port in its location information ("Port_#0002.Hub_#0001"
// -> 2); 0 when it names none.
int usbPortFromLocationInformation(const QString &information);
// A REG_MULTI_SZ value as its strings.
QStringList multiStringList(const wchar_t *data, size_t chars);

// The COM ports present now, in SetupAPI's order (comports_win.cpp; Windows
// only).
QList<ComPortFound> scanComPorts();

} // namespace pulvane::stick
