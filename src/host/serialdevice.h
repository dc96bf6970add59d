// Whether a path may be taken for a stick's serial line: it leads, by
// folders and links that nobody but the user and root can change (the rule
// of trustedpath.h), to a serial port or a pseudo-terminal of the user that
// is nobody's terminal. Never /dev/tty, /dev/ptmx or a console, nor a
// login's pty, nor a pty that a process still has as its standard input,
// output or error after its session ended: a stick's traffic, the network
// key among it, would land there. Linux only.
#pragma once

#include "processes.h"

#include <QString>

namespace pulvane::host {

struct DeviceVerdict
{
    enum class Outcome
    {
        Kept,
        Gone,   // the path leads nowhere (any more)
        Refused // why says what it leads to, or who could redirect it
    };
    Outcome outcome = Outcome::Refused;
    // Kept: the device's path with every link resolved.
    QString target;
    QString why;

    explicit operator bool() const { return outcome == Outcome::Kept; }
};

// The device path leads to, judged now; processes is this START's snapshot.
DeviceVerdict vetSerialDevice(const QString &path, const ProcessSnapshot &processes);
// The same for a line already open on fd: path must still lead to the very
// device fd holds (same file system, inode and device number), and that
// device pass the checks as fd shows it.
DeviceVerdict vetOpenedDevice(int fd, const QString &path, const ProcessSnapshot &processes);

} // namespace pulvane::host
