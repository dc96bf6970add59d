// The lock QSettings takes to write a settings file, `<file>.lock`, taken and
// honoured by us in QLockFile's format and with its flock, so that Qt writers
// of the same file wait for us and we for them.
#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <optional>
#include <sys/types.h>

namespace pulvane::store {

// A lock found in place is taken over when the process it names has ended (on
// this machine, in this boot) or is another user's (root's excepted): the lock
// sits in a folder of the user's own, which the caller has made sure of, where
// no other user's program writes. It is not taken over because it is old, nor
// because the running process has another name than the lock records. A lock
// that names no process (empty, garbled, unreadable) is taken over once it is
// older than Qt's stale time, as Qt's own writers take it; one of another
// machine is left alone. A lock path that is not a plain file (a link, a FIFO,
// a folder) is refused at once. Released, and its file removed, when the
// object goes.
class SettingsLock
{
public:
    struct Result
    {
        enum class Kind
        {
            Taken,
            Held,   // by a holder that lives, for all of the wait
            Refused // not a plain file, or not to be made
        };
        Kind kind;
        QString why; // what held or refused it, for the user's diagnostics
    };

    explicit SettingsLock(const QString &path);
    ~SettingsLock();
    SettingsLock(const SettingsLock &) = delete;
    SettingsLock &operator=(const SettingsLock &) = delete;

    // Waits at most `wait` for a holder that is alive.
    Result tryLock(std::chrono::milliseconds wait);

private:
    enum class Attempt
    {
        Taken,
        Held,
        Removed, // a lock of an ended process was removed: try again at once
        Refused
    };
    Attempt attempt();
    Attempt removeIfStale();
    Attempt removeUnreadable();

    QByteArray m_path;
    int m_fd = -1;
    QString m_why;
};

namespace detail {

// Whose process `pid` is (its effective user), or nothing when it cannot be
// told (ended, or hidden from us).
std::optional<uid_t> processOwner(qint64 pid);

} // namespace detail

} // namespace pulvane::store
