// The virtual-stick directory: symbolic links to character devices that speak
// the ANT serial protocol (a pseudo-terminal made by antsim or a test, or a
// UART-attached ANT module). Only where the platform has one (Linux). What a
// path may lead to is the host's rule (serialdevice.h).
#pragma once

#include "processes.h"
#include "stickscan.h"
#include "trustedpath.h"

#include <QList>
#include <QString>
#include <optional>

namespace pulvane::stick {

// $XDG_RUNTIME_DIR/pulvane/sticks, or /tmp/pulvane-<uid>/sticks when
// XDG_RUNTIME_DIR is unset. The directory may not exist.
QString virtualStickDirectory();
// Whether path is a directory of this user, not a link, that nobody else may
// write to (the host's rule): only then may its entries be trusted.
host::PathVerdict isPrivateDirectory(const QString &path);
// The lock file antsim holds beside its link `name` for as long as it runs
// (flock, exclusive). A link whose lock file nobody holds is a leftover of a
// simulator that was killed, and its pseudo-terminal may be someone's terminal
// by now.
QString simulatorLockPath(const QString &directory, const QString &name);

// One entry of the directory as a stick, or why it must be skipped: its
// target fails vetSerialDevice, or belongs to a simulator that is gone.
struct VirtualStickVerdict
{
    std::optional<StickLocation> stick;
    QString why;
};
VirtualStickVerdict vetVirtualStick(const QString &directory, const QString &name,
                                    const host::ProcessSnapshot &processes);
// The ports of PULVANE_STICKS that pass vetSerialDevice, their targets
// resolved; each one passed over is named on standard error.
QList<VirtualStickFound> vetNamedSticks(const QList<VirtualStickFound> &named,
                                        const host::ProcessSnapshot &processes);
// The entries of a virtual-stick directory that pass vetVirtualStick, by name.
// Nothing when the directory or its parent is not private (isPrivateDirectory).
// Each entry and directory passed over is named on standard error.
QList<StickLocation> virtualSticks(const QString &directory,
                                   const host::ProcessSnapshot &processes);

} // namespace pulvane::stick
