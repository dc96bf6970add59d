// The snapshot as Linux gives it: /proc/<pid> for each process (its owner
// from the folder's, its name and terminal from stat, its descriptors from
// fd/), /proc/locks and /proc/consoles.
#include "processes.h"

#include "account.h"

#include <QFile>
#include <QSet>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace pulvane::host {

namespace {

// A /proc file, read whole; /proc files are small and never block.
QByteArray readProcFile(int folder, const QByteArray &path)
{
    const int fd = ::openat(folder, path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {};
    QByteArray text;
    char chunk[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, n);
    ::close(fd);
    return text;
}

bool isPid(const char *name)
{
    if (!*name)
        return false;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return true;
}

// The name and controlling terminal from the text of /proc/<pid>/stat: the
// name in parentheses (it may itself hold spaces and parentheses), then
// state, ppid, pgrp, session and tty_nr.
bool parseStat(const QByteArray &line, ProcessInfo *process)
{
    const qsizetype open = line.indexOf('(');
    const qsizetype close = line.lastIndexOf(')');
    if (open < 0 || close < open)
        return false;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.size() < 5)
        return false;
    process->name = QString::fromLocal8Bit(line.mid(open + 1, close - open - 1));
    const unsigned tty = fields.at(4).toUInt();
    const unsigned ttyMajor = (tty >> 8) & 0xFFF;
    const unsigned ttyMinor = (tty & 0xFF) | ((tty >> 12) & 0xFFF00);
    process->terminal = tty == 0 ? 0 : quint64(makedev(ttyMajor, ttyMinor));
    return true;
}

// The character devices among the descriptors in the folder fd/ of a
// process. The links are read first and only those into /dev looked at, so
// that no file system but the kernel's own is asked (a hung network mount
// would hang the look).
void readDescriptors(int fdFolder, ProcessInfo *process)
{
    DIR *fds = ::fdopendir(fdFolder);
    if (!fds) {
        ::close(fdFolder);
        return;
    }
    char target[64];
    while (const dirent *entry = ::readdir(fds)) {
        if (!isPid(entry->d_name))
            continue;
        const ssize_t n = ::readlinkat(fdFolder, entry->d_name, target, sizeof target);
        if (n < 5 || qstrncmp(target, "/dev/", 5) != 0)
            continue;
        struct stat st
        {
        };
        if (::fstatat(fdFolder, entry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode))
            continue;
        process->devices << quint64(st.st_rdev);
        if (entry->d_name[1] == '\0' && entry->d_name[0] <= '2')
            process->standardDevices << quint64(st.st_rdev);
    }
    ::closedir(fds);
}

std::optional<ProcessInfo> readProcess(int proc, const char *pid, uint uid)
{
    ProcessInfo process;
    process.pid = QByteArray(pid).toLongLong();
    process.uid = uid;
    if (!parseStat(readProcFile(proc, QByteArray(pid) + "/stat"), &process))
        return std::nullopt;
    const int fdFolder =
        ::openat(proc, (QByteArray(pid) + "/fd").constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdFolder >= 0)
        readDescriptors(fdFolder, &process);
    return process;
}

} // namespace

ProcessSnapshot ProcessSnapshot::read()
{
    ProcessSnapshot snapshot;
    snapshot.self = ::getpid();
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return snapshot;
    const int procFd = ::dirfd(proc);
    snapshot.locks = heldLocks(readProcFile(procFd, "locks"));
    snapshot.consoles = consoleDevices(readProcFile(procFd, "consoles"));
    QSet<qint64> lockHolders;
    for (const FileLock &lock : std::as_const(snapshot.locks))
        lockHolders.insert(lock.pid);
    const uint user = userId();
    while (const dirent *entry = ::readdir(proc)) {
        if (!isPid(entry->d_name))
            continue;
        // The folder belongs to the process's user (to root while the
        // process may not be dumped, which only widens the look).
        struct stat st
        {
        };
        if (::fstatat(procFd, entry->d_name, &st, 0) != 0)
            continue;
        if (st.st_uid != user && st.st_uid != 0 &&
            !lockHolders.contains(QByteArray(entry->d_name).toLongLong()))
            continue;
        if (std::optional<ProcessInfo> process = readProcess(procFd, entry->d_name, st.st_uid))
            snapshot.processes << *process;
    }
    ::closedir(proc);
    return snapshot;
}

std::optional<uint> processOwner(qint64 pid)
{
    // The effective user from status: the folder's owner is root's while
    // the process may not be dumped.
    const QByteArray status =
        readProcFile(AT_FDCWD, "/proc/" + QByteArray::number(pid) + "/status");
    for (const QByteArray &line : status.split('\n')) {
        if (!line.startsWith("Uid:"))
            continue;
        const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
        bool ok = false;
        const uint uid = ids.value(1).toUInt(&ok);
        if (ok)
            return uid;
    }
    return std::nullopt;
}

QString processName(qint64 pid)
{
    ProcessInfo process;
    if (!parseStat(readProcFile(AT_FDCWD, "/proc/" + QByteArray::number(pid) + "/stat"), &process))
        return {};
    return process.name;
}

QList<FileLock> fileLocksNow()
{
    return heldLocks(readProcFile(AT_FDCWD, "/proc/locks"));
}

QList<quint64> devicesOpenedBy(qint64 pid)
{
    ProcessInfo process;
    const int fdFolder = ::open(("/proc/" + QByteArray::number(pid) + "/fd").constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdFolder >= 0)
        readDescriptors(fdFolder, &process);
    return process.devices;
}

QList<quint64> consoleDevices(const QByteArray &consoles)
{
    QList<quint64> devices;
    for (const QByteArray &line : consoles.split('\n')) {
        // The last word is the device number, major:minor.
        const QList<QByteArray> number = line.simplified().split(' ').constLast().split(':');
        bool majorOk = false, minorOk = false;
        const unsigned consoleMajor = number.constFirst().toUInt(&majorOk);
        const unsigned consoleMinor = number.size() == 2 ? number.constLast().toUInt(&minorOk) : 0;
        if (majorOk && minorOk)
            devices << quint64(makedev(consoleMajor, consoleMinor));
    }
    return devices;
}

QList<FileLock> heldLocks(const QByteArray &procLocks)
{
    QList<FileLock> locks;
    for (const QByteArray &line : procLocks.split('\n')) {
        // "1: FLOCK  ADVISORY  WRITE 4711 fe:01:1234 0 EOF"; a waiter has
        // "->" after the number.
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) == "->")
            continue;
        const QList<QByteArray> file = fields.at(5).split(':');
        if (file.size() != 3)
            continue;
        bool ok[4] = {};
        const qint64 pid = fields.at(4).toLongLong(&ok[0]);
        const unsigned fsMajor = file.at(0).toUInt(&ok[1], 16);
        const unsigned fsMinor = file.at(1).toUInt(&ok[2], 16);
        const qulonglong inode = file.at(2).toULongLong(&ok[3]);
        if (ok[0] && ok[1] && ok[2] && ok[3] && pid > 0)
            locks << FileLock{pid, quint64(makedev(fsMajor, fsMinor)), inode};
    }
    return locks;
}

} // namespace pulvane::host
