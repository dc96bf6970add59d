#include "virtualsticks.h"

#include "stickscan.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace pulvane::stick {

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

// Whether a process holds the lock file at path. A shared lock we can take is
// one nobody holds exclusively; it goes again with the descriptor.
bool lockHeld(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

// Whether some process has the device as its controlling terminal: then a
// session (a login, a terminal window) reads and writes it, and a stick's
// traffic would land in it. Field 7 of /proc/<pid>/stat, after the command
// name in parentheses, is that terminal's device number.
bool isSessionTerminal(dev_t device)
{
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!pid.front().isDigit())
            continue;
        QFile stat(proc.filePath(pid) + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        // After the name: state, ppid, pgrp, session, tty_nr.
        if (fields.size() < 5)
            continue;
        const unsigned tty = fields.at(4).toUInt();
        const unsigned ttyMajor = (tty >> 8) & 0xFFF;
        const unsigned ttyMinor = (tty & 0xFF) | ((tty >> 12) & 0xFFF00);
        if (tty != 0 && ttyMajor == major(device) && ttyMinor == minor(device))
            return true;
    }
    return false;
}

void passOver(const QString &kind, const QString &what, const QString &why)
{
    qWarning().noquote() << QStringLiteral("%1 stick %2 skipped: %3").arg(kind, what, why);
}

} // namespace

QString virtualStickDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/pulvane/sticks");
    return QStringLiteral("/tmp/pulvane-%1/sticks").arg(::getuid());
}

bool isPrivateDirectory(const QString &path, QString *why)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        *why = QStringLiteral("%1 is missing").arg(path);
    else if (!S_ISDIR(st.st_mode))
        *why = QStringLiteral("%1 is no directory (a link?)").arg(path);
    else if (st.st_uid != ::getuid())
        *why = QStringLiteral("%1 belongs to user %2").arg(path).arg(st.st_uid);
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        *why = QStringLiteral("%1 may be written by other users").arg(path);
    else
        return true;
    return false;
}

QString simulatorLockPath(const QString &directory, const QString &name)
{
    return directory + QStringLiteral("/.") + name + QStringLiteral(".lock");
}

std::optional<StickLocation> vetVirtualStick(const QString &directory, const QString &name,
                                             QString *why)
{
    const QString entry = QDir(directory).filePath(name);
    const std::optional<QString> target = vetSerialDevice(entry, why);
    if (!target)
        return std::nullopt;
    const QString lock = simulatorLockPath(directory, name);
    if (QFileInfo::exists(lock) && !lockHeld(lock)) {
        *why = QStringLiteral("the simulator that made it has ended; %1 may be a terminal now")
                   .arg(*target);
        return std::nullopt;
    }
    StickLocation stick;
    stick.kind = StickLocation::Kind::Virtual;
    stick.path = entry;
    stick.description = QStringLiteral("virtual stick %1 (%2)").arg(name, *target);
    return stick;
}

std::optional<QString> vetSerialDevice(const QString &path, QString *why)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    struct stat st
    {
    };
    // stat() follows links: a dangling one fails here.
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        *why = QStringLiteral("its target is gone");
        return std::nullopt;
    }
    if (!S_ISCHR(st.st_mode) || (!isPtySlave(st.st_rdev) && !isSerialPort(st.st_rdev))) {
        *why = QStringLiteral("%1 is no serial port or pseudo-terminal").arg(target);
        return std::nullopt;
    }
    if (isPtySlave(st.st_rdev) && st.st_uid != ::getuid()) {
        *why = QStringLiteral("%1 is a pseudo-terminal of user %2").arg(target).arg(st.st_uid);
        return std::nullopt;
    }
    if (isSessionTerminal(st.st_rdev)) {
        *why = QStringLiteral("%1 is the terminal of a session").arg(target);
        return std::nullopt;
    }
    return target;
}

QList<VirtualStickFound> vetNamedSticks(const QList<VirtualStickFound> &named)
{
    QList<VirtualStickFound> kept;
    QString why;
    for (VirtualStickFound stick : named) {
        const std::optional<QString> target = vetSerialDevice(stick.location.path, &why);
        if (!target) {
            passOver(QStringLiteral("Named"), stick.location.path, why);
            continue;
        }
        stick.target = *target;
        kept << stick;
    }
    return kept;
}

QList<StickLocation> virtualSticks(const QString &directory)
{
    QList<StickLocation> found;
    if (!QFileInfo::exists(directory) && !QFileInfo(directory).isSymLink())
        return found;
    QString why;
    for (const QString &dir : {QFileInfo(directory).path(), directory}) {
        if (!isPrivateDirectory(dir, &why)) {
            passOver(QStringLiteral("Virtual"), QStringLiteral("directory %1").arg(directory), why);
            return found;
        }
    }
    const QStringList names = QDir(directory).entryList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        if (std::optional<StickLocation> stick = vetVirtualStick(directory, name, &why))
            found << *stick;
        else
            passOver(QStringLiteral("Virtual"), name, why);
    }
    return found;
}

QList<VirtualStickFound> scanVirtualSticks(const QString &directory)
{
    QList<VirtualStickFound> found;
    for (const StickLocation &stick : virtualSticks(directory))
        found << VirtualStickFound{stick, QFileInfo(stick.path).canonicalFilePath()};
    return found;
}

} // namespace pulvane::stick
