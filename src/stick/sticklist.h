// The ordered list of ANT sticks on this machine: the N-th entry is what
// ANT_Init(N) opens.
//
// Order: bulk sticks (0fcf:1008, 0fcf:1009) through libusb by bus and port;
// then serial sticks as tty nodes (0fcf:1004, and bulk sticks libusb cannot
// reach but the kernel's serial driver can), by bus and port; then the
// entries of the virtual-stick directory by name (Linux); then the ports
// named in PULVANE_STICKS. A node is listed once, and a virtual or named
// entry that leads to a listed serial node is left out; but an entry that
// leads to the serial node of a bulk stick listed through libusb is kept, so
// that stick has two numbers (opening it one way makes the other busy or
// gone).
#pragma once

#include "sticklocation.h"

#include <QList>

namespace pulvane::stick {

// The whole list, built afresh from what is plugged in now.
QList<StickLocation> findSticks();

// Where a user names sticks that no scan finds, for the message when there is
// none: the virtual-stick directory or PULVANE_STICKS on Linux,
// PULVANE_STICKS on Windows.
QString namedStickPlace();

} // namespace pulvane::stick
