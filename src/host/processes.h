// What /proc tells of the processes that could matter to a START: who they
// are, what they hold open, the file locks, the kernel's consoles. Read once
// per START (ProcessSnapshot::read) and passed down to whatever asks; only
// the user's processes, root's and those holding a lock are looked into, so
// that thousands of other users' processes cost a START next to nothing.
// On Windows the snapshot is empty.
#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace pulvane::host {

struct ProcessInfo
{
    qint64 pid = 0;
    uint uid = 0;
    // The command name (comm), decoded as the locale encodes file names.
    QString name;
    // The controlling terminal's device number; 0 for none.
    quint64 terminal = 0;
    // The character devices it has as standard input, output or error, and
    // every character device it has open.
    QList<quint64> standardDevices;
    QList<quint64> devices;
};

// A lock held on a file (flock, POSIX or lease), as /proc/locks lists it.
struct FileLock
{
    qint64 pid = 0;
    quint64 fileSystem = 0; // the device number of the file system
    quint64 inode = 0;
};

class ProcessSnapshot
{
public:
    // /proc as it is now.
    static ProcessSnapshot read();

    QList<ProcessInfo> processes;
    QList<FileLock> locks;
    QList<quint64> consoles;
    // Our own process ID, which the holder questions leave out.
    qint64 self = 0;

    const ProcessInfo *process(qint64 pid) const;
    // Some process has device as its controlling terminal.
    bool isSessionTerminal(quint64 device) const;
    // A process other than ours with device as standard input, output or
    // error, as "name (pid)"; empty when there is none.
    QString terminalUser(quint64 device) const;
    // "name (pid), ..." for the processes other than ours that have device
    // open; empty when none is seen.
    QString holders(quint64 device) const;
    // Whether process pid has device open (read from /proc for a process
    // the snapshot did not look into).
    bool holds(qint64 pid, quint64 device) const;
    // The process holding a lock on the file (fileSystem, inode); 0 for none.
    qint64 lockHolder(quint64 fileSystem, quint64 inode) const;
    bool isConsole(quint64 device) const;
};

// "name (pid)", the way every line names a process.
QString describeProcess(const ProcessInfo &process);
// The owner of a running process (its effective user), from /proc; nothing
// when it has ended.
std::optional<uint> processOwner(qint64 pid);
// The name of a running process, from /proc; empty when it has ended.
QString processName(qint64 pid);

// The locks held now (/proc/locks), for a lock taken after the snapshot.
QList<FileLock> fileLocksNow();
// The character devices process pid has open, read from /proc now.
QList<quint64> devicesOpenedBy(qint64 pid);

// Pure pieces of the Linux reader, for tests.
// The device numbers of the kernel's consoles, from the text of
// /proc/consoles (one console a line, the last word major:minor).
QList<quint64> consoleDevices(const QByteArray &consoles);
// The held locks in the text of /proc/locks (a waiter holds nothing, and a
// lock of an open file description names no process).
QList<FileLock> heldLocks(const QByteArray &procLocks);

} // namespace pulvane::host
