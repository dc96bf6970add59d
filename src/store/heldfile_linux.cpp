#include "heldfile.h"

#include <QRandomGenerator>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace pulvane::store::detail {

namespace {

using namespace std::chrono_literals;

// How long a save waits for another program to close the file it writes.
constexpr std::chrono::milliseconds kWriterWait = 1s;
constexpr std::chrono::milliseconds kWriterPoll = 2ms;
// Time for a writer that found the old file just before the replacement to
// reach it: its open then shows on the lease, its write in the file's times.
constexpr std::chrono::milliseconds kLateWriter = 10ms;

bool sameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// A writer that ignores the lock changes at least one of these; the times in
// nanoseconds, where a second would hide a quick append, and the change time,
// which no one sets back as an in-place rewrite can set back the other.
bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           sameTime(a.st_mtim, b.st_mtim) && sameTime(a.st_ctim, b.st_ctim);
}

enum class Lease
{
    Taken,
    WriterOpen, // someone has the file open for writing now
    Unavailable // not the user's file, a network file system, leases off
};

// A lease break stops a writer's open until the lease is released and signals
// the holder. The signal is one whose default is to be ignored, and once the
// lease is taken it goes to no one: whether the lease still holds is asked.
Lease takeLease(int fd)
{
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0 || ::fcntl(fd, F_SETLEASE, F_RDLCK) != 0)
        return errno == EAGAIN ? Lease::WriterOpen : Lease::Unavailable;
    ::fcntl(fd, F_SETOWN, 0);
    return Lease::Taken;
}

QByteArray readWhole(int fd, qint64 maxSize, bool *ok)
{
    QByteArray bytes;
    for (;;) {
        char chunk[65536];
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, bytes.size());
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        *ok = n > 0 && bytes.size() + n <= maxSize;
        if (!*ok)
            break;
        bytes.append(chunk, n);
    }
    return bytes;
}

} // namespace

HeldFile::~HeldFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

HeldFile::Read HeldFile::read(const QByteArray &target, qint64 maxSize)
{
    m_target = target;
    m_maxSize = maxSize;
    m_fd = ::open(target.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0)
        return errno == ENOENT ? Read::Missing : Read::Unreadable;
    if (::fstat(m_fd, &m_read) != 0 || !S_ISREG(m_read.st_mode))
        return Read::NotAPlainFile;
    if (m_read.st_size > maxSize)
        return Read::TooLarge;
    const auto until = std::chrono::steady_clock::now() + kWriterWait;
    Lease lease;
    while ((lease = takeLease(m_fd)) == Lease::WriterOpen) {
        if (std::chrono::steady_clock::now() >= until)
            return Read::KeptOpenForWriting;
        std::this_thread::sleep_for(kWriterPoll);
    }
    m_leased = lease == Lease::Taken;
    // Looked at before and after the read: a write during it (where no lease
    // keeps writers out) has the file read again.
    struct stat before = m_read;
    for (int i = 0; i < 3; ++i) {
        bool ok = true;
        m_bytes = readWhole(m_fd, maxSize, &ok);
        if (!ok || ::fstat(m_fd, &m_read) != 0)
            return maxSize < m_bytes.size() ? Read::TooLarge : Read::Unreadable;
        if (sameFile(before, m_read))
            return Read::Done;
        before = m_read;
    }
    return Read::Changing;
}

bool HeldFile::leaseIntact() const
{
    return !m_leased || ::fcntl(m_fd, F_GETLEASE) == F_RDLCK;
}

bool HeldFile::changed() const
{
    struct stat now
    {
    };
    struct stat named
    {
    };
    return !leaseIntact() || ::fstat(m_fd, &now) != 0 || !sameFile(now, m_read) ||
           ::stat(m_target.constData(), &named) != 0 || named.st_dev != m_read.st_dev ||
           named.st_ino != m_read.st_ino;
}

// The lease taken again succeeds only when no one has the file open to write.
// A writer that keeps it open longer has what it wrote by then carried.
void HeldFile::waitForWriters()
{
    ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
    const auto until = std::chrono::steady_clock::now() + kWriterWait;
    while (takeLease(m_fd) == Lease::WriterOpen && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(kWriterPoll);
}

void HeldFile::noteReplaced()
{
    // The replacement itself changes the old file's change time, with its
    // link count.
    struct stat now
    {
    };
    if (m_fd >= 0 && ::fstat(m_fd, &now) == 0)
        m_read.st_ctim = now.st_ctim;
}

std::optional<QByteArray> HeldFile::gainedAfterReplacement()
{
    if (m_fd < 0)
        return std::nullopt;
    std::this_thread::sleep_for(kLateWriter);
    const bool opened = !leaseIntact();
    if (opened)
        waitForWriters();
    if (m_leased)
        ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
    struct stat now
    {
    };
    if (!opened && ::fstat(m_fd, &now) == 0 && sameFile(now, m_read))
        return std::nullopt;
    bool ok = true;
    QByteArray bytes = readWhole(m_fd, m_maxSize, &ok);
    return bytes == m_bytes ? std::nullopt : std::optional(bytes);
}

namespace {

// A new file of our own beside the target, named as the copies a save makes.
int makeNewFile(const QByteArray &target, QByteArray *name)
{
    const QByteArray dir = target.left(target.lastIndexOf('/') + 1);
    for (int i = 0; i < 100; ++i) {
        QByteArray suffix(6, Qt::Uninitialized);
        for (char &c : suffix)
            c = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                [QRandomGenerator::global()->bounded(62)];
        *name = dir + QByteArray(kCopyPrefix.data(), kCopyPrefix.size()) + suffix;
        const int fd = ::open(name->constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool writeAll(int fd, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes = bytes.sliced(n);
    }
    return true;
}

// Where there was no file, one made meanwhile is not replaced unseen.
bool putInPlace(const QByteArray &from, const QByteArray &to, bool existed)
{
    if (existed)
        return ::rename(from.constData(), to.constData()) == 0;
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::link(from.constData(), to.constData()) != 0)
        return false;
    ::unlink(from.constData());
    return true;
}

} // namespace

Replaced replaceFile(HeldFile &held, const QByteArray &target, const QByteArray &content)
{
    QByteArray name;
    const int fd = makeNewFile(target, &name);
    if (fd < 0)
        return {Replaced::Kind::Failed, QStringLiteral("no new file beside it: %1")
                                            .arg(qt_error_string(errno))};
    // As Qt's own writer leaves it: the old file's permissions, or those a new
    // file gets.
    bool ok = (!held.exists() || ::fchmod(fd, held.permissions()) == 0) && writeAll(fd, content) &&
              ::fdatasync(fd) == 0;
    const int error = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(name.constData());
        return {Replaced::Kind::Failed,
                QStringLiteral("the new file not written: %1").arg(qt_error_string(error))};
    }
    // As late as can be before the replacement, so that what was added to the
    // file, or put in its place, is not replaced unseen.
    if (held.exists() && held.changed()) {
        ::unlink(name.constData());
        return {Replaced::Kind::ChangedMeanwhile, {}};
    }
    if (!putInPlace(name, target, held.exists())) {
        const int error = errno;
        ::unlink(name.constData());
        if (error == EEXIST)
            return {Replaced::Kind::ChangedMeanwhile, {}};
        return {Replaced::Kind::Failed,
                QStringLiteral("the new file not put in place: %1").arg(qt_error_string(error))};
    }
    held.noteReplaced();
    return {Replaced::Kind::Done, {}};
}

} // namespace pulvane::store::detail
