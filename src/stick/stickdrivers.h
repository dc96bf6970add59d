// The sticks' own drivers. On Windows a stick is used with the driver it has
// (training applications rely on it): bulk sticks with their maker's
// libusb-win32 driver are reached through libusb0.dll, and when START finds
// no stick it can open, each ANT stick present gets a line saying which
// driver it has and what the user can do, never asking for another driver.
//
// The wording is plain text work that every platform builds and tests; the
// rest has one file per platform (stickdrivers_win.cpp; Linux has no such
// drivers, stickdrivers_linux.cpp).
#pragma once

#include "sticklocation.h"
#include "stickscan.h"
#include "opened.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>

namespace pulvane::stick {

namespace libusb0 {
class Library;
}

struct StickDriverFound
{
    uint16_t productId = 0;
    // The device's bound driver service ("libusb0", "WinUSB", "libusbK",
    // "SiUSBXp", "silabser", ...); empty when no driver is installed.
    QString service;
    // Where it is plugged in ("Port_#0002.Hub_#0001"); may be empty.
    QString location;
    // The USB ports from the root hub down, as libusb numbers them; empty
    // when unknown.
    QList<int> portNumbers;
    // Device Manager's problem code for the device (10: it cannot start, 22:
    // disabled, ...); 0 when it has none.
    unsigned problem = 0;
    // portNumbers holds the stick's own port alone (from its location
    // information: no location path ran through a USB root hub).
    bool ownPortOnly = false;
    // The libusb-win32 driver serves it, under another service name (its
    // service's image is libusb0.sys) or as an upper filter.
    bool libusb0Driver = false;
};

// What libusb0.dll makes of a stick whose driver is libusb0.
enum class Libusb0Listing
{
    // The library cannot be loaded from System32.
    LibraryMissing,
    // It loads but lists no stick of this one's product.
    StickNotListed,
    StickListed
};

// The libusb-win32 driver serves the stick: its service is libusb0, or see
// libusb0Driver.
bool servedByLibusb0(const StickDriverFound &stick);

// Whether a stick libusb lists at portNumbers is the stick found there.
bool samePlace(const StickDriverFound &stick, uint16_t productId, const QList<int> &portNumbers);

// What the stick is, which driver it has and what the user can do.
QString stickDriverLine(const StickDriverFound &stick, Libusb0Listing libusb0);

// The ANT sticks (0fcf:1004, 1008, 1009) present now, with their drivers,
// as SetupAPI lists USB devices (Windows only).
QList<StickDriverFound> scanStickDrivers();

// What one START learns of the sticks' drivers, looked at once and reused by
// its attempts and its driver lines. On Windows: libusb0.dll, loaded once and
// held for the START, with the sticks it lists (usb_find_devices probes
// every device of the driver, so once per START), and SetupAPI's devices,
// read the first time they are needed. Nothing elsewhere.
struct DriverScan
{
    std::shared_ptr<const libusb0::Library> library;
    // Why libusb0.dll did not load.
    QString libraryFailure;
    QList<BulkStickFound> libusb0Sticks;
    std::optional<QList<StickDriverFound>> drivers;
};

DriverScan scanDrivers();
// scan's SetupAPI devices, read now if they were not yet.
const QList<StickDriverFound> &driversOf(DriverScan &scan);

// A line for each ANT stick present; none where the platform has nothing to
// add to the open failures.
QStringList stickDriverLines(DriverScan &scan);

// Lines on the libraries the sticks' drivers come with, for the diagnostics
// once per START: on Windows the versions of libusb0.dll and its driver when
// the library loaded; nothing elsewhere.
QStringList stickLibraryLines(const DriverScan &scan);

// Opens a bulk stick through the library its driver calls for: libusb-1.0
// (kind Usb) on every platform; libusb0.dll on Windows (kind Libusb0, found
// by scanDrivers).
ant::OpenedStick openBulkStick(const StickLocation &stick);

// A bulk stick through libusb-1.0, for openBulkStick.
ant::OpenedStick openLibusbStick(const StickLocation &stick);

} // namespace pulvane::stick
