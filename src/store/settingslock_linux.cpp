#include "settingslock.h"

#include <QByteArrayList>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace pulvane::store {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kRetryEvery = 20ms;
// Far more than the five short lines of a lock.
constexpr qsizetype kMaxLockSize = 4096;

// What QLockFile writes: process id, the process's name as /proc gives it
// (which a QLockFile of another program compares), host name, machine id and
// boot id.
QByteArray lockContents()
{
    QString name = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).fileName();
    // What /proc says of a program file replaced since it started; Qt drops it.
    if (name.endsWith(QLatin1StringView(" (deleted)")))
        name.chop(10);
    return QByteArray::number(::getpid()) + '\n' + name.toUtf8() + '\n' +
           QSysInfo::machineHostName().toUtf8() + '\n' + QSysInfo::machineUniqueId() + '\n' +
           QSysInfo::bootUniqueId() + '\n';
}

bool holderHasEnded(const QByteArray &contents)
{
    const QByteArrayList lines = contents.split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).toLongLong(&ok);
    if (!ok || pid <= 0)
        return false;
    const QByteArray host = lines.value(2);
    const QByteArray machine = lines.value(3);
    const QByteArray boot = lines.value(4);
    // Older Qt wrote no machine id; then the host name decides, an empty one
    // meaning this machine as it does to Qt.
    if (!machine.isEmpty() ? machine != QSysInfo::machineUniqueId()
                           : !host.isEmpty() && host != QSysInfo::machineHostName().toUtf8())
        return false;
    if (!boot.isEmpty() && boot != QSysInfo::bootUniqueId())
        return true;
    if (pid > std::numeric_limits<pid_t>::max())
        return true;
    // EPERM: alive, another user's.
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

QByteArray readUpTo(int fd, qsizetype maxSize)
{
    QByteArray bytes(maxSize, Qt::Uninitialized);
    qsizetype size = 0;
    while (size < maxSize) {
        const ssize_t n = ::pread(fd, bytes.data() + size, maxSize - size, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size += n;
    }
    bytes.truncate(size);
    return bytes;
}

} // namespace

SettingsLock::SettingsLock(const QString &path) : m_path(QFile::encodeName(path)) {}

SettingsLock::~SettingsLock()
{
    // Removed while still flocked, as QLockFile does, so that no one takes the
    // file over between.
    if (m_fd >= 0) {
        ::unlink(m_path.constData());
        ::close(m_fd);
    }
}

bool SettingsLock::tryLock(std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const Attempt result = attempt();
        if (result == Attempt::Taken)
            return true;
        if (result == Attempt::Refused || std::chrono::steady_clock::now() >= deadline)
            return false;
        if (result == Attempt::Held)
            std::this_thread::sleep_for(kRetryEvery);
    }
}

SettingsLock::Attempt SettingsLock::attempt()
{
    const int fd =
        ::open(m_path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno == EEXIST ? removeIfEnded() : Attempt::Refused;
    // flocked as QLockFile does: a Qt writer removes a lock it judges stale
    // only once it has flocked it, so ours is never taken from us. As with
    // QLockFile, the file made is the lock even if the flock is not had.
    ::flock(fd, LOCK_EX | LOCK_NB);
    const QByteArray contents = lockContents();
    if (::write(fd, contents.constData(), contents.size()) == contents.size()) {
        m_fd = fd;
        return Attempt::Taken;
    }
    ::unlink(m_path.constData());
    ::close(fd);
    return Attempt::Refused;
}

// One look at what is in place decides, on the open file: whatever is put at
// the path after it is looked at on the next attempt.
SettingsLock::Attempt SettingsLock::removeIfEnded()
{
    const int fd = ::open(m_path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? Attempt::Removed : Attempt::Refused;
    struct stat held
    {
    };
    struct stat named
    {
    };
    Attempt result = Attempt::Held;
    if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
        result = Attempt::Refused;
    } else if (holderHasEnded(readUpTo(fd, kMaxLockSize)) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Flocked only once it names an ended process: a Qt writer flocks its
        // new lock just after making it, and must find it free. Whoever else
        // removes a lock flocks it first, so while this flock is held the path
        // still names this file if it did a moment ago.
        if (::lstat(m_path.constData(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino && ::unlink(m_path.constData()) == 0)
            result = Attempt::Removed;
    }
    ::close(fd);
    return result;
}

} // namespace pulvane::store
