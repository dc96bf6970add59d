#include "virtualsticks.h"

#include "sticklog.h"
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

// A process other than ours whose standard input, output or error is the
// device, as "name (pid)"; empty when there is none. Such a process uses it as
// its terminal even when no session does any more: a job started from a shell
// that has ended keeps the shell's pseudo-terminal, and whatever the terminal
// side (a terminal window, sshd) still shows.
QString terminalUser(dev_t device)
{
    const QDir proc(QStringLiteral("/proc"));
    const QString self = QString::number(::getpid());
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!pid.front().isDigit() || pid == self)
            continue;
        for (int fd = 0; fd <= 2; ++fd) {
            struct stat st
            {
            };
            const QByteArray path =
                QFile::encodeName(proc.filePath(pid)) + "/fd/" + QByteArray::number(fd);
            if (::stat(path.constData(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != device)
                continue;
            QFile comm(proc.filePath(pid) + QStringLiteral("/comm"));
            const QString name = comm.open(QIODevice::ReadOnly)
                                     ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                     : QString();
            return QStringLiteral("%1 (%2)").arg(name, pid);
        }
    }
    return {};
}

bool isConsole(dev_t device)
{
    QFile consoles(QStringLiteral("/proc/consoles"));
    if (!consoles.open(QIODevice::ReadOnly))
        return false;
    return consoleDevices(consoles.readAll()).contains(device);
}

bool trustedOwner(uid_t owner)
{
    return owner == ::geteuid() || owner == 0;
}

// Whether the entry at path, found in folder, can be swapped by nobody but
// this user and root: the folder is theirs, and if others may write it, it
// is sticky and the entry is theirs too.
bool entryKept(const QString &path, const QString &folder, const struct stat &folderStat,
               const struct stat &entryStat, QString *why)
{
    if (!trustedOwner(folderStat.st_uid)) {
        *why = QStringLiteral("%1 is in %2, which belongs to user %3")
                   .arg(path, folder)
                   .arg(folderStat.st_uid);
        return false;
    }
    if ((folderStat.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    if ((folderStat.st_mode & S_ISVTX) == 0) {
        *why = QStringLiteral("%1 is in %2, which other users may write").arg(path, folder);
        return false;
    }
    if (!trustedOwner(entryStat.st_uid)) {
        *why = QStringLiteral("%1 belongs to user %2, in %3, which other users may write")
                   .arg(path)
                   .arg(entryStat.st_uid)
                   .arg(folder);
        return false;
    }
    return true;
}

// Follows path one component at a time, each link by hand, and judges every
// folder and link on the way (entryKept, and links only of this user or
// root). The path reached, with no link left in it, and its lstat; or nothing
// with the reason in why, and *missing set when a component does not exist.
std::optional<QString> followTrusted(const QString &path, struct stat *reached, QString *why,
                                     bool *missing)
{
    constexpr int kMaxLinks = 40;
    *missing = false;
    QStringList pending =
        QDir::cleanPath(QDir::current().absoluteFilePath(path)).split(QLatin1Char('/'));
    QString current = QStringLiteral("/");
    struct stat currentStat
    {
    };
    if (::lstat("/", &currentStat) != 0)
        return std::nullopt;
    int links = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            // current holds no link, so its parent is the folder above.
            current = QFileInfo(current).path();
            if (::lstat(QFile::encodeName(current).constData(), &currentStat) != 0)
                return std::nullopt;
            continue;
        }
        const QString next =
            current.endsWith(QLatin1Char('/')) ? current + part : current + QLatin1Char('/') + part;
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(next).constData(), &st) != 0) {
            *why = QStringLiteral("its target is gone");
            *missing = true;
            return std::nullopt;
        }
        if (!entryKept(next, current, currentStat, st, why))
            return std::nullopt;
        if (S_ISLNK(st.st_mode)) {
            if (!trustedOwner(st.st_uid)) {
                *why = QStringLiteral("%1 is a link of user %2").arg(next).arg(st.st_uid);
                return std::nullopt;
            }
            QByteArray text(4096, '\0');
            const ssize_t n =
                ::readlink(QFile::encodeName(next).constData(), text.data(), size_t(text.size()));
            if (n <= 0 || n >= text.size() || ++links > kMaxLinks) {
                *why = QStringLiteral("%1 leads nowhere").arg(next);
                return std::nullopt;
            }
            const QString to = QFile::decodeName(text.left(n));
            if (to.startsWith(QLatin1Char('/'))) {
                current = QStringLiteral("/");
                ::lstat("/", &currentStat);
            }
            pending = to.split(QLatin1Char('/')) + pending;
            continue;
        }
        if (!pending.isEmpty() && !S_ISDIR(st.st_mode)) {
            *why = QStringLiteral("its target is gone");
            *missing = true;
            return std::nullopt;
        }
        current = next;
        currentStat = st;
    }
    *reached = currentStat;
    return current;
}

// The checks on the device itself, from its stat: a serial port or a
// pseudo-terminal of this user that nobody uses as a terminal, and no console.
bool vetDevice(const QString &target, const struct stat &st, QString *why)
{
    if (!S_ISCHR(st.st_mode) || (!isPtySlave(st.st_rdev) && !isSerialPort(st.st_rdev))) {
        *why = QStringLiteral("%1 is no serial port or pseudo-terminal").arg(target);
        return false;
    }
    if (isPtySlave(st.st_rdev) && st.st_uid != ::geteuid()) {
        *why = QStringLiteral("%1 is a pseudo-terminal of user %2").arg(target).arg(st.st_uid);
        return false;
    }
    if (!isPtySlave(st.st_rdev) && isConsole(st.st_rdev)) {
        *why = QStringLiteral("%1 is the kernel's console").arg(target);
        return false;
    }
    if (isSessionTerminal(st.st_rdev)) {
        *why = QStringLiteral("%1 is the terminal of a session").arg(target);
        return false;
    }
    if (const QString user = terminalUser(st.st_rdev); !user.isEmpty()) {
        *why = QStringLiteral("%1 is the terminal of %2").arg(target, user);
        return false;
    }
    return true;
}

void passOver(const QString &kind, const QString &what, const QString &why)
{
    qCWarning(lcStick).noquote() << QStringLiteral("%1 stick %2 skipped: %3").arg(kind, what, why);
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
    struct stat st
    {
    };
    bool missing = false;
    const std::optional<QString> target = followTrusted(path, &st, why, &missing);
    if (!target || !vetDevice(*target, st, why))
        return std::nullopt;
    return target;
}

std::optional<QString> vetOpenedDevice(int fd, const QString &path, QString *why, bool *missing)
{
    struct stat reached
    {
    };
    struct stat opened
    {
    };
    const std::optional<QString> target = followTrusted(path, &reached, why, missing);
    if (!target)
        return std::nullopt;
    if (::fstat(fd, &opened) != 0 || opened.st_dev != reached.st_dev ||
        opened.st_ino != reached.st_ino || opened.st_rdev != reached.st_rdev) {
        *why = QStringLiteral("%1 changed while it was opened").arg(path);
        return std::nullopt;
    }
    if (!vetDevice(*target, opened, why))
        return std::nullopt;
    return target;
}

QList<dev_t> consoleDevices(const QByteArray &consoles)
{
    QList<dev_t> devices;
    for (const QByteArray &line : consoles.split('\n')) {
        // The last word is the device number, major:minor.
        const QList<QByteArray> number = line.simplified().split(' ').constLast().split(':');
        bool majorOk = false, minorOk = false;
        const unsigned consoleMajor = number.constFirst().toUInt(&majorOk);
        const unsigned consoleMinor = number.size() == 2 ? number.constLast().toUInt(&minorOk) : 0;
        if (majorOk && minorOk)
            devices << makedev(consoleMajor, consoleMinor);
    }
    return devices;
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
