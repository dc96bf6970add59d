// Pseudo-terminals for tests on Linux: the master side a virtual stick's
// other end is, a raw terminal opened on a path as a host opens a stick,
// reading with a deadline, and a process that uses a terminal as its own.
#pragma once

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <array>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace pulvane::test {

// The other end of a virtual stick: the master side of a pseudo-terminal,
// non-blocking.
class PtyMaster
{
public:
    PtyMaster()
    {
        m_fd = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0)
            return;
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        m_slave = QString::fromLocal8Bit(::ptsname(m_fd));
    }
    ~PtyMaster() { close(); }
    PtyMaster(const PtyMaster &) = delete;
    PtyMaster &operator=(const PtyMaster &) = delete;

    bool isValid() const { return m_fd >= 0 && !m_slave.isEmpty(); }
    QString slave() const { return m_slave; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool write(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Everything read so far.
    QByteArray readAll()
    {
        std::array<char, 256> chunk;
        ssize_t n = 0;
        while ((n = ::read(m_fd, chunk.data(), chunk.size())) > 0)
            m_received.append(chunk.data(), n);
        return m_received;
    }

private:
    int m_fd = -1;
    QString m_slave;
    QByteArray m_received;
};

// The terminal at path opened raw, as a host opens a stick; -1 on failure.
inline int openRawTerminal(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
    termios raw = {};
    if (fd >= 0 && ::tcgetattr(fd, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(fd, TCSANOW, &raw);
    }
    return fd;
}

// Reads what arrives on fd within timeoutMs; stops early once `until` bytes
// are in. Sets *hungUp when the other side is gone.
inline QByteArray readFor(int fd, int timeoutMs, qsizetype until, bool *hungUp = nullptr)
{
    QByteArray bytes;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && bytes.size() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
            break;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (hungUp)
                *hungUp = true;
            break;
        }
        bytes.append(buffer, n);
    }
    return bytes;
}

// A process that has tty as its standard input: as a session's leader, which
// takes tty as its controlling terminal as a login's shell does (a session
// leader that opens a terminal without O_NOCTTY takes it); or as a job still
// holding the terminal of a session that has ended. Null when it did not
// start.
enum class TerminalUse
{
    Session,
    OrphanedJob
};
inline std::unique_ptr<QProcess> processOnTerminal(const QString &tty, TerminalUse use)
{
    auto holder = std::make_unique<QProcess>();
    const QStringList command{QStringLiteral("sh"), QStringLiteral("-c"),
                              QStringLiteral("exec sleep 60 <%1").arg(tty)};
    const bool session = use == TerminalUse::Session;
    holder->start(session ? QStringLiteral("setsid") : command.first(),
                  session ? command : command.mid(1));
    if (!holder->waitForStarted())
        return nullptr;
    const QString input = QStringLiteral("/proc/%1/fd/0").arg(holder->processId());
    for (int i = 0; i < 200; ++i) {
        if (QFileInfo(input).symLinkTarget() == tty)
            return holder;
        QTest::qWait(10);
    }
    return nullptr;
}

} // namespace pulvane::test
