// The serial lock files other programs keep for a tty ("LCK..<name>" in the
// lock folder, holding the holder's process ID as its first word), read so
// that nobody can wedge or freeze a START with one: the lock folder is
// writable by all (sticky), so another user may plant a lock there, or a
// FIFO, or a sparse file of gigabytes. Linux only.
#pragma once

#include "processes.h"

#include <QString>

namespace pulvane::stick {

struct SerialLock
{
    enum class Kind
    {
        None,      // no lock file
        Odd,       // no lock file as programs write them (what says why)
        NotHolder, // its process could not have the tty open
        Holder     // a program that may hold the tty
    };
    Kind kind = Kind::None;
    QString path;
    QString what;   // Odd: what the file is
    QString holder; // Holder: "name (pid)"
};

// The largest lock file read: a process ID and a name fit many times over.
inline constexpr qint64 kMaxLockFileSize = 256;

// The lock of device (the tty's path), judged now. The file is opened
// without following a link and without waiting (a FIFO), and only a regular
// file of at most kMaxLockFileSize bytes is read. Its process is taken as
// the tty's holder while it lives and either /proc shows it has the tty
// open, or it is the user's or root's in a lock file of the user or root
// (whose descriptors we may not see). A lock another user planted, naming a
// process that has not the tty open (pid 1, say, or one of their own),
// holds nothing; nor does one whose process has ended.
SerialLock readSerialLock(const QString &device, const host::ProcessSnapshot &processes);

// The process other than ours holding a file lock on the tty device itself
// (as a line opened by serialline_linux.cpp has), as "name (pid)"; empty
// when none is seen.
QString deviceLockHolder(const QString &device, const host::ProcessSnapshot &processes);

} // namespace pulvane::stick
