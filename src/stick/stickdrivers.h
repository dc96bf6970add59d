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
#include "transport.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

namespace pulvane::stick {

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

// What the stick is, which driver it has and what the user can do.
QString stickDriverLine(const StickDriverFound &stick, Libusb0Listing libusb0);

// The ANT sticks (0fcf:1004, 1008, 1009) present now, with their drivers,
// as SetupAPI lists USB devices (Windows only).
QList<StickDriverFound> scanStickDrivers();

// A line for each ANT stick present; none where the platform has nothing to
// add to the open failures.
QStringList stickDriverLines();

// Lines on the libraries the sticks' drivers come with, for the diagnostics
// once per START: on Windows the versions of libusb0.dll and its driver when
// the library loads; nothing elsewhere.
QStringList stickLibraryLines();

// Opens a bulk stick through the library its driver calls for: libusb-1.0
// (kind Usb) on every platform; libusb0.dll on Windows (kind Libusb0, found
// by scanLibusb0Sticks, stickscan.h). On failure returns null and sets why.
std::unique_ptr<ant::Transport> openBulkStick(const StickLocation &stick, QString *why);

// A bulk stick through libusb-1.0, for openBulkStick.
std::unique_ptr<ant::Transport> openLibusbStick(const StickLocation &stick, QString *why);

} // namespace pulvane::stick
