#include "serialdevice.h"

#include "trustedpath.h"

#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace pulvane::host {

namespace {

// The terminal sides of pseudo-terminals (/dev/pts/N) have these majors.
constexpr unsigned kPtySlaveFirstMajor = 136;
constexpr unsigned kPtySlaveMajorCount = 8;

bool isPtySlave(dev_t device)
{
    return major(device) >= kPtySlaveFirstMajor &&
           major(device) < kPtySlaveFirstMajor + kPtySlaveMajorCount;
}

// A terminal on serial hardware (USB-serial bridge, UART): the tty class
// lists it with the device beneath it. Consoles, /dev/tty, /dev/ptmx and the
// memory devices have no such device.
bool isSerialPort(dev_t device)
{
    const QString sys = QStringLiteral("/sys/dev/char/%1:%2").arg(major(device)).arg(minor(device));
    return QFileInfo(sys + QStringLiteral("/subsystem")).canonicalFilePath() ==
               QStringLiteral("/sys/class/tty") &&
           QFileInfo::exists(sys + QStringLiteral("/device"));
}

DeviceVerdict refused(const QString &why)
{
    return DeviceVerdict{DeviceVerdict::Outcome::Refused, {}, why};
}

// The checks on the device itself, from its stat.
DeviceVerdict vetDevice(const QString &target, const struct stat &st,
                        const ProcessSnapshot &processes)
{
    if (!S_ISCHR(st.st_mode) || (!isPtySlave(st.st_rdev) && !isSerialPort(st.st_rdev)))
        return refused(QStringLiteral("%1 is no serial port or pseudo-terminal").arg(target));
    if (isPtySlave(st.st_rdev) && st.st_uid != userId())
        return refused(
            QStringLiteral("%1 is a pseudo-terminal of user %2").arg(target).arg(st.st_uid));
    if (!isPtySlave(st.st_rdev) && processes.isConsole(st.st_rdev))
        return refused(QStringLiteral("%1 is the kernel's console").arg(target));
    if (processes.isSessionTerminal(st.st_rdev))
        return refused(QStringLiteral("%1 is the terminal of a session").arg(target));
    if (const QString user = processes.terminalUser(st.st_rdev); !user.isEmpty())
        return refused(QStringLiteral("%1 is the terminal of %2").arg(target, user));
    return DeviceVerdict{DeviceVerdict::Outcome::Kept, target, {}};
}

DeviceVerdict walkVerdict(const PathVerdict &walk)
{
    return DeviceVerdict{walk.outcome == PathVerdict::Outcome::Missing
                             ? DeviceVerdict::Outcome::Gone
                             : DeviceVerdict::Outcome::Refused,
                         {},
                         walk.why};
}

} // namespace

DeviceVerdict vetSerialDevice(const QString &path, const ProcessSnapshot &processes)
{
    const PathVerdict walk = TrustPolicy().follow(path, Holder::UserOrRoot);
    if (!walk)
        return walkVerdict(walk);
    return vetDevice(walk.path, walk.facts, processes);
}

DeviceVerdict vetOpenedDevice(int fd, const QString &path, const ProcessSnapshot &processes)
{
    const PathVerdict walk = TrustPolicy().follow(path, Holder::UserOrRoot);
    if (!walk)
        return walkVerdict(walk);
    struct stat opened
    {
    };
    if (::fstat(fd, &opened) != 0 || opened.st_dev != walk.facts.st_dev ||
        opened.st_ino != walk.facts.st_ino || opened.st_rdev != walk.facts.st_rdev)
        return refused(QStringLiteral("%1 changed while it was opened").arg(path));
    return vetDevice(walk.path, opened, processes);
}

} // namespace pulvane::host
