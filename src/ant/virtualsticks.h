// The virtual-stick directory: symbolic links to character devices that speak
// the ANT serial protocol (a pseudo-terminal made by antsim or a test, or a
// UART-attached ANT module). Only where the platform has one (Linux).
#pragma once

#include "sticklocation.h"

#include <QList>
#include <QString>
#include <optional>

namespace pulvane::ant {

// $XDG_RUNTIME_DIR/pulvane/sticks, or /tmp/pulvane-<uid>/sticks when
// XDG_RUNTIME_DIR is unset. The directory may not exist.
QString virtualStickDirectory();
// One entry of the directory as a stick, or nothing when it must be skipped
// (its target is gone or is no character device).
std::optional<StickLocation> vetVirtualStick(const QString &directory, const QString &name);
// The entries of a virtual-stick directory that pass vetVirtualStick, by name.
QList<StickLocation> virtualSticks(const QString &directory);

} // namespace pulvane::ant
