// The simulator's end of a virtual stick: a pseudo-terminal whose slave side
// is linked into the virtual-stick directory, where the program's stick
// discovery finds it. POSIX only.
#pragma once

#include <QByteArray>
#include <QString>

namespace pulvane::antsim {

class PtyLink
{
public:
    PtyLink() = default;
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    // Makes the pseudo-terminal and the link `name` in the virtual-stick
    // directory (creating the directories 0700), and holds a lock on
    // `.name.lock` beside it for as long as the link is ours: the program
    // takes a link whose lock nobody holds for a leftover of a simulator that
    // was killed. A link of that name whose target is gone, or whose lock is
    // left over, is replaced; a live one is an error. On failure returns false
    // and sets why; nothing is left behind.
    bool open(const QString &name, QString *why);
    // Hangs up (closes both sides) and removes the link and its lock; safe to
    // call twice.
    void close();

    bool isOpen() const { return m_master >= 0; }
    // Non-blocking; readable when the host wrote something.
    int masterFd() const { return m_master; }
    QString linkPath() const { return m_linkPath; }
    QString slavePath() const { return m_slavePath; }
    QString lockPath() const { return m_lockPath; }

    // Everything the host wrote so far (may be empty).
    QByteArray readAvailable();
    // Writes without blocking. What the pseudo-terminal has no room for (no
    // host reading) is dropped and counted.
    void write(const QByteArray &bytes);
    // Throws away bytes written earlier that the host has not read yet.
    void discardUnread();
    qint64 droppedOut() const { return m_droppedOut; }

private:
    int m_master = -1;
    // Held open so the pseudo-terminal does not hang up between the host's
    // opens.
    int m_slave = -1;
    int m_lock = -1;
    QString m_linkPath;
    QString m_lockPath;
    QString m_slavePath;
    qint64 m_droppedOut = 0;
};

} // namespace pulvane::antsim
