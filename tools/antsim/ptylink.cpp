#include "ptylink.h"

#include "virtualsticks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pulvane::antsim {

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Creates `path` 0700 if missing; an existing one must be our own directory
// and no symbolic link, or anyone could redirect our links.
bool ensurePrivateDirectory(const QString &path, QString *why)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
        *why = QStringLiteral("cannot create %1: %2").arg(path, errnoText(errno));
        return false;
    }
    const host::PathVerdict own = stick::isPrivateDirectory(path);
    if (!own)
        *why = own.why;
    return bool(own);
}

// Takes the lock for as long as this process runs, however it ends. A host
// checking whether we are alive takes it shared for a moment, so a busy lock
// is tried again for a while before the name counts as taken.
bool lockExclusively(int fd)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK)
            return false;
        ::usleep(10000);
    }
    errno = EWOULDBLOCK;
    return false;
}

} // namespace

PtyLink::~PtyLink()
{
    close();
}

bool PtyLink::open(const QString &name, QString *why)
{
    const QString dir = stick::virtualStickDirectory();
    if (!ensurePrivateDirectory(QFileInfo(dir).path(), why))
        return false;
    if (!ensurePrivateDirectory(dir, why))
        return false;

    const QString linkPath = dir + u'/' + name;
    const QByteArray link = QFile::encodeName(linkPath);
    const QString lockPath = stick::simulatorLockPath(dir, name);
    const QByteArray lock = QFile::encodeName(lockPath);
    // A lock file that is already there was left by a simulator that ended
    // without removing it: its link, if any, leads nowhere we made.
    const bool leftOver = ::access(lock.constData(), F_OK) == 0;
    // Without waiting, and only a regular file: a FIFO put in its place by
    // another process of ours must not hold us up.
    m_lock =
        ::open(lock.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat lockStat = {};
    if (m_lock >= 0 && (::fstat(m_lock, &lockStat) != 0 || !S_ISREG(lockStat.st_mode))) {
        ::close(m_lock);
        m_lock = -1;
        errno = EINVAL;
    }
    if (m_lock < 0 || !lockExclusively(m_lock)) {
        const int error = errno;
        if (m_lock >= 0)
            ::close(m_lock);
        m_lock = -1;
        *why = error == EWOULDBLOCK
                   ? QStringLiteral("%1 is in use; choose another --name").arg(linkPath)
                   : QStringLiteral("cannot lock %1: %2").arg(lockPath, errnoText(error));
        return false;
    }
    m_lockPath = lockPath;
    struct stat st = {};
    if (::lstat(link.constData(), &st) == 0) {
        if (!S_ISLNK(st.st_mode) || (!leftOver && ::stat(link.constData(), &st) == 0)) {
            *why = QStringLiteral("%1 is in use; choose another --name").arg(linkPath);
            close();
            return false;
        }
        ::unlink(link.constData());
    }

    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        *why = QStringLiteral("cannot make a pseudo-terminal: %1").arg(errnoText(errno));
        close();
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));
    m_slave = ::open(::ptsname(m_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios raw = {};
    if (m_slave < 0 || ::tcgetattr(m_slave, &raw) != 0) {
        *why = QStringLiteral("cannot open %1: %2").arg(m_slavePath, errnoText(errno));
        close();
        return false;
    }
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B115200);
    ::tcsetattr(m_slave, TCSANOW, &raw);

    if (::symlink(::ptsname(m_master), link.constData()) != 0) {
        *why = QStringLiteral("cannot link %1: %2").arg(linkPath, errnoText(errno));
        close();
        return false;
    }
    m_linkPath = linkPath;
    return true;
}

void PtyLink::close()
{
    if (!m_linkPath.isEmpty()) {
        ::unlink(QFile::encodeName(m_linkPath).constData());
        m_linkPath.clear();
    }
    // Removed while still held, so no other simulator locks it in between.
    if (m_lock >= 0) {
        ::unlink(QFile::encodeName(m_lockPath).constData());
        ::close(m_lock);
        m_lock = -1;
        m_lockPath.clear();
    }
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    m_master = -1;
    m_slave = -1;
}

QByteArray PtyLink::readAvailable()
{
    QByteArray bytes;
    char buffer[4096];
    while (m_master >= 0) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return bytes;
}

void PtyLink::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    m_droppedOut += bytes.size() - done;
}

void PtyLink::discardUnread()
{
    if (m_slave >= 0)
        ::tcflush(m_slave, TCIFLUSH);
}

} // namespace pulvane::antsim
