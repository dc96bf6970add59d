#include "seriallock.h"

#include "account.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pulvane::stick {

namespace {

bool isUsOrRoot(uint uid)
{
    return uid == host::userId() || uid == 0;
}

QString describe(qint64 pid, const host::ProcessSnapshot &processes)
{
    if (const host::ProcessInfo *process = processes.process(pid))
        return host::describeProcess(*process);
    return QStringLiteral("%1 (%2)").arg(host::processName(pid)).arg(pid);
}

// What a lock file that is no regular one is, for the line that names it.
QString oddKind(const struct stat &st)
{
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return QStringLiteral("a device");
    if (S_ISREG(st.st_mode))
        return QStringLiteral("%1 bytes long").arg(st.st_size);
    return QStringLiteral("no regular file");
}

// The lock file of device, "LCK..<name>" in /var/lock or /run/lock, opened
// for reading without following a link or waiting; -1 when there is none.
int openLockFile(const QString &device, QString *path)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *folder : {"/var/lock/LCK..", "/run/lock/LCK.."}) {
        *path = QLatin1String(folder) + name;
        const int fd = ::open(QFile::encodeName(*path).constData(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
    }
    return -1;
}

} // namespace

SerialLock readSerialLock(const QString &device, const host::ProcessSnapshot &processes)
{
    SerialLock lock;
    struct stat tty
    {
    };
    if (::stat(QFile::encodeName(device).constData(), &tty) != 0)
        return lock;
    const int fd = openLockFile(device, &lock.path);
    if (fd < 0) {
        // A link planted in its place (ELOOP) is no lock either.
        if (errno == ELOOP) {
            lock.kind = SerialLock::Kind::Odd;
            lock.what = QStringLiteral("a link");
        }
        return lock;
    }
    struct stat st
    {
    };
    QByteArray text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxLockFileSize) {
        text.resize(kMaxLockFileSize);
        const ssize_t n = ::read(fd, text.data(), size_t(text.size()));
        text.resize(qMax<ssize_t>(n, 0));
    } else {
        ::close(fd);
        lock.kind = SerialLock::Kind::Odd;
        lock.what = oddKind(st);
        return lock;
    }
    ::close(fd);
    // The holder of a lock on the file itself (Qt's lock files carry one) is
    // sure; else the process ID written in it.
    qint64 pid = processes.lockHolder(st.st_dev, st.st_ino);
    if (pid <= 0)
        pid = text.simplified().split(' ').value(0).toLongLong();
    const std::optional<uint> owner = pid > 0 ? host::processOwner(pid) : std::nullopt;
    lock.kind = SerialLock::Kind::NotHolder;
    if (!owner)
        return lock;
    if (processes.holds(pid, tty.st_rdev) || (isUsOrRoot(*owner) && isUsOrRoot(st.st_uid))) {
        lock.kind = SerialLock::Kind::Holder;
        lock.holder = describe(pid, processes);
    }
    return lock;
}

QString deviceLockHolder(const QString &device, const host::ProcessSnapshot &processes)
{
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(device).constData(), &st) != 0)
        return {};
    // Taken just now, perhaps after the START's snapshot: the locks afresh.
    for (const host::FileLock &lock : host::fileLocksNow()) {
        if (lock.fileSystem == quint64(st.st_dev) && lock.inode == quint64(st.st_ino) &&
            lock.pid != processes.self)
            return describe(lock.pid, processes);
    }
    return {};
}

} // namespace pulvane::stick
