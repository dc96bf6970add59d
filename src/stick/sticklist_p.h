// The ordering of the stick list, apart from the machine: what the scans
// found in, the list ANT_Init counts through out. Private to the ANT link and
// its tests.
#pragma once

#include "stickdrivers.h"
#include "stickscan.h"

namespace pulvane::stick {

// Bulk sticks by bus and port; then serial sticks by bus and port (a bulk
// stick libusb may not open but whose node we may is listed here, through
// that node); then the virtual entries in the order given, less those that
// lead to a node already listed as a serial stick; then the named ports in
// the order given, less those that lead to a node already listed. No stick
// appears twice.
QList<StickLocation> orderSticks(const QList<BulkStickFound> &bulk,
                                 const QList<SerialStickFound> &serial,
                                 const QList<VirtualStickFound> &virtuals,
                                 const QList<VirtualStickFound> &named = {});

// The bulk sticks libusb lists, less those the libusb-win32 driver serves:
// libusb reaches such a stick only through libusbK.dll (without it, its open
// is refused as if someone held the stick), and it is used through the
// library its driver comes with, libusb0.dll. A libusb entry is such a stick
// when the driver scan finds a stick of its product at its place that the
// driver serves (servedByLibusb0).
QList<BulkStickFound> withoutLibusb0Sticks(const QList<BulkStickFound> &libusb,
                                           const QList<StickDriverFound> &drivers);

// The ports named in a PULVANE_STICKS value, split at separator (the
// platform's list separator), blanks around them and empty parts dropped:
// sticks opened as virtual ones are (at ANT_Init's baud rate, for UART
// modules and simulators), their target the name as given.
QList<VirtualStickFound> namedSticks(const QString &value, QChar separator);

// The ports named in the environment's PULVANE_STICKS.
QList<VirtualStickFound> namedSticksOfEnvironment();

// What the scans found and the named ports as one ordered list. Each
// platform's findSticks() calls it with its own scans (sticklist_linux.cpp,
// sticklist_win.cpp).
QList<StickLocation> listSticks(const QList<BulkStickFound> &bulk, QList<SerialStickFound> serial,
                                const QList<VirtualStickFound> &virtuals,
                                QList<VirtualStickFound> named);

} // namespace pulvane::stick
