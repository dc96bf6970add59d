// The virtual-stick directory: symbolic links to character devices that speak
// the ANT serial protocol (a pseudo-terminal made by antsim or a test, or a
// UART-attached ANT module). Only where the platform has one (Linux).
#pragma once

#include "stickscan.h"

#include <QList>
#include <QString>
#include <optional>
#include <sys/types.h>

namespace pulvane::stick {

// $XDG_RUNTIME_DIR/pulvane/sticks, or /tmp/pulvane-<uid>/sticks when
// XDG_RUNTIME_DIR is unset. The directory may not exist.
QString virtualStickDirectory();
// Whether path is a directory of this user, not a link, that nobody else may
// write to: only then may its entries be trusted. Sets why when not.
bool isPrivateDirectory(const QString &path, QString *why);
// The lock file antsim holds beside its link `name` for as long as it runs
// (flock, exclusive). A link whose lock file nobody holds is a leftover of a
// simulator that was killed, and its pseudo-terminal may be someone's terminal
// by now.
QString simulatorLockPath(const QString &directory, const QString &name);
// One entry of the directory as a stick, or nothing when it must be skipped,
// with the reason in why: its target fails vetSerialDevice, or belongs to a
// simulator that is gone.
std::optional<StickLocation> vetVirtualStick(const QString &directory, const QString &name,
                                             QString *why);
// A device a stick may be reached through, every link followed: a serial
// port or a pseudo-terminal of this user, and no session's terminal (never
// /dev/tty, /dev/ptmx or a console, nor a login's pty, nor a pty that a
// process still has as its standard input, output or error after its session
// ended). Every folder and link on the way must be one that nobody but this
// user and root can change: a folder of theirs that others may not write, or
// that is sticky and the entry in it theirs; a link of theirs. Its path with
// every link resolved, or nothing with the reason in why.
std::optional<QString> vetSerialDevice(const QString &path, QString *why);
// vetSerialDevice for a line already open on fd: path must still lead to the
// very device fd holds (same file system, inode and device number), and that
// device pass the checks as fd shows it. *missing tells a path that no longer
// leads anywhere from one that is refused.
std::optional<QString> vetOpenedDevice(int fd, const QString &path, QString *why, bool *missing);
// The device numbers of the kernel's consoles, from the text of /proc/consoles
// (one console a line, the last word major:minor).
QList<dev_t> consoleDevices(const QByteArray &consoles);
// The ports of PULVANE_STICKS that pass vetSerialDevice, their targets
// resolved; each one passed over is named on standard error.
QList<VirtualStickFound> vetNamedSticks(const QList<VirtualStickFound> &named);
// The entries of a virtual-stick directory that pass vetVirtualStick, by name.
// Nothing when the directory or its parent is not private (isPrivateDirectory).
// Each entry and directory passed over is named on standard error.
QList<StickLocation> virtualSticks(const QString &directory);

} // namespace pulvane::stick
