#include "virtualsticks.h"

#include "account.h"
#include "serialdevice.h"
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
#include <unistd.h>

namespace pulvane::stick {

namespace {

// Whether a process holds the lock file at path. A shared lock we can take is
// one nobody holds exclusively; it goes again with the descriptor. Opened
// without waiting: a FIFO put in its place would block the open for good.
bool lockHeld(const QString &path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st
    {
    };
    const bool held = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
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
    return QStringLiteral("/tmp/pulvane-%1/sticks").arg(host::userId());
}

host::PathVerdict isPrivateDirectory(const QString &path)
{
    return host::TrustPolicy().ownFolder(path);
}

QString simulatorLockPath(const QString &directory, const QString &name)
{
    return directory + QStringLiteral("/.") + name + QStringLiteral(".lock");
}

VirtualStickVerdict vetVirtualStick(const QString &directory, const QString &name,
                                    const host::ProcessSnapshot &processes)
{
    const QString entry = QDir(directory).filePath(name);
    const host::DeviceVerdict target = host::vetSerialDevice(entry, processes);
    if (!target)
        return {std::nullopt, target.why};
    const QString lock = simulatorLockPath(directory, name);
    if (QFileInfo::exists(lock) && !lockHeld(lock))
        return {std::nullopt,
                QStringLiteral("the simulator that made it has ended; %1 may be a terminal now")
                    .arg(target.target)};
    StickLocation stick;
    stick.kind = StickLocation::Kind::Virtual;
    stick.path = entry;
    stick.description = QStringLiteral("virtual stick %1 (%2)").arg(name, target.target);
    return {stick, {}};
}

QList<VirtualStickFound> vetNamedSticks(const QList<VirtualStickFound> &named,
                                        const host::ProcessSnapshot &processes)
{
    QList<VirtualStickFound> kept;
    for (VirtualStickFound stick : named) {
        const host::DeviceVerdict target = host::vetSerialDevice(stick.location.path, processes);
        if (!target) {
            passOver(QStringLiteral("Named"), stick.location.path, target.why);
            continue;
        }
        stick.target = target.target;
        kept << stick;
    }
    return kept;
}

QList<StickLocation> virtualSticks(const QString &directory, const host::ProcessSnapshot &processes)
{
    QList<StickLocation> found;
    if (!QFileInfo::exists(directory) && !QFileInfo(directory).isSymLink())
        return found;
    for (const QString &dir : {QFileInfo(directory).path(), directory}) {
        if (const host::PathVerdict own = isPrivateDirectory(dir); !own) {
            passOver(QStringLiteral("Virtual"), QStringLiteral("directory %1").arg(directory),
                     own.why);
            return found;
        }
    }
    const QStringList names = QDir(directory).entryList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const VirtualStickVerdict verdict = vetVirtualStick(directory, name, processes);
        if (verdict.stick)
            found << *verdict.stick;
        else
            passOver(QStringLiteral("Virtual"), name, verdict.why);
    }
    return found;
}

QList<VirtualStickFound> scanVirtualSticks(const QString &directory,
                                           const host::ProcessSnapshot &processes)
{
    QList<VirtualStickFound> found;
    for (const StickLocation &stick : virtualSticks(directory, processes))
        found << VirtualStickFound{stick, QFileInfo(stick.path).canonicalFilePath()};
    return found;
}

} // namespace pulvane::stick
