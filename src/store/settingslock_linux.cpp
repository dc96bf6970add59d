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
#include <ctime>
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

// QLockFile's default: a lock whose holder cannot be told is stale once its
// file is older than this (or as far in the future).
constexpr std::chrono::seconds kStaleTime = 30s;

bool olderThanStaleTime(const struct stat &st)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto age = std::chrono::seconds(now.tv_sec - st.st_mtim.tv_sec);
    return age > kStaleTime || age < -kStaleTime;
}

struct Judgement
{
    bool stale;
    QString why; // of a lock that stays
};

Judgement judgeNamedHolder(qint64 pid, const QByteArrayList &lines)
{
    const QByteArray host = lines.value(2);
    const QByteArray machine = lines.value(3);
    const QByteArray boot = lines.value(4);
    // Older Qt wrote no machine id; then the host name decides, an empty one
    // meaning this machine as it does to Qt.
    if (!machine.isEmpty() ? machine != QSysInfo::machineUniqueId()
                           : !host.isEmpty() && host != QSysInfo::machineHostName().toUtf8())
        return {false, QStringLiteral("by process %1 of another machine, %2")
                           .arg(pid)
                           .arg(QString::fromUtf8(host))};
    if (!boot.isEmpty() && boot != QSysInfo::bootUniqueId())
        return {true, {}};
    if (pid > std::numeric_limits<pid_t>::max())
        return {true, {}};
    // EPERM: alive, another user's.
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return {true, {}};
    // Another user's process cannot be writing in a folder of the user's own: a
    // killed save's number, taken again.
    const std::optional<uid_t> owner = detail::processOwner(pid);
    if (owner && *owner != ::geteuid() && *owner != 0)
        return {true, {}};
    return {false, QStringLiteral("by process %1 (%2), which is running")
                       .arg(pid)
                       .arg(QString::fromUtf8(lines.value(1)))};
}

Judgement judge(const QByteArray &contents, const struct stat &st)
{
    const QByteArrayList lines = contents.split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).toLongLong(&ok);
    if (ok && pid > 0)
        return judgeNamedHolder(pid, lines);
    // A save killed, or the power cut, between making the lock and writing it.
    return {olderThanStaleTime(st), QStringLiteral("it names no process and is newer than %1 s")
                                        .arg(kStaleTime.count())};
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

namespace detail {

std::optional<uid_t> processOwner(qint64 pid)
{
    struct stat st
    {
    };
    if (::stat(QByteArray("/proc/" + QByteArray::number(pid)).constData(), &st) != 0)
        return std::nullopt;
    return st.st_uid;
}

} // namespace detail

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

SettingsLock::Result SettingsLock::tryLock(std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const Attempt result = attempt();
        if (result == Attempt::Taken)
            return {Result::Kind::Taken, {}};
        if (result == Attempt::Refused)
            return {Result::Kind::Refused, m_why};
        if (std::chrono::steady_clock::now() >= deadline)
            return {Result::Kind::Held, m_why};
        if (result == Attempt::Held)
            std::this_thread::sleep_for(kRetryEvery);
    }
}

SettingsLock::Attempt SettingsLock::attempt()
{
    const int fd =
        ::open(m_path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST)
            return removeIfStale();
        m_why = QStringLiteral("it cannot be made: %1").arg(qt_error_string(errno));
        return Attempt::Refused;
    }
    // flocked as QLockFile does: a Qt writer removes a lock it judges stale
    // only once it has flocked it, so ours is never taken from us. As with
    // QLockFile, the file made is the lock even if the flock is not had.
    ::flock(fd, LOCK_EX | LOCK_NB);
    const QByteArray contents = lockContents();
    if (::write(fd, contents.constData(), contents.size()) == contents.size()) {
        m_fd = fd;
        return Attempt::Taken;
    }
    m_why = QStringLiteral("it cannot be written: %1").arg(qt_error_string(errno));
    ::unlink(m_path.constData());
    ::close(fd);
    return Attempt::Refused;
}

// One look at what is in place decides, on the open file: whatever is put at
// the path after it is looked at on the next attempt.
SettingsLock::Attempt SettingsLock::removeIfStale()
{
    const int fd = ::open(m_path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EACCES)
        return removeUnreadable();
    if (fd < 0 && errno == ENOENT)
        return Attempt::Removed;
    struct stat held
    {
    };
    struct stat named
    {
    };
    Attempt result = Attempt::Held;
    if (fd < 0 && errno != ELOOP) {
        m_why = QStringLiteral("it cannot be opened: %1").arg(qt_error_string(errno));
        result = Attempt::Refused;
    } else if (fd < 0 || ::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
        m_why = QStringLiteral("it is not a plain file");
        result = Attempt::Refused;
    } else if (Judgement judgement = judge(readUpTo(fd, kMaxLockSize), held); !judgement.stale) {
        m_why = judgement.why;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Flocked only once it is judged stale: a Qt writer flocks its new lock
        // just after making it, and must find it free. Whoever else removes a
        // lock flocks it first, so while this flock is held the path still
        // names this file if it did a moment ago.
        if (::lstat(m_path.constData(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino && ::unlink(m_path.constData()) == 0)
            result = Attempt::Removed;
    }
    if (fd >= 0)
        ::close(fd);
    return result;
}

// A lock that cannot even be opened to read names nobody: like an empty one,
// it goes once it is older than the stale time. No Qt writer makes a lock it
// cannot read, so no live one is removed.
SettingsLock::Attempt SettingsLock::removeUnreadable()
{
    struct stat st
    {
    };
    m_why = QStringLiteral("it cannot be read and is newer than %1 s").arg(kStaleTime.count());
    if (::lstat(m_path.constData(), &st) != 0)
        return errno == ENOENT ? Attempt::Removed : Attempt::Held;
    if (!S_ISREG(st.st_mode)) {
        m_why = QStringLiteral("it is not a plain file");
        return Attempt::Refused;
    }
    if (!olderThanStaleTime(st))
        return Attempt::Held;
    return ::unlink(m_path.constData()) == 0 || errno == ENOENT ? Attempt::Removed : Attempt::Held;
}

} // namespace pulvane::store
