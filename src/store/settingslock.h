// The lock QSettings takes to write a settings file, `<file>.lock`, taken and
// honoured by us in QLockFile's format and with its flock, so that Qt writers
// of the same file wait for us and we for them.
#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

namespace pulvane::store {

// Unlike QLockFile, a lock found in place is taken over only when the process
// it names has ended (on this machine, in this boot): not because it is old,
// and not because the running process has another name than the lock records.
// A lock that names no process, or one of another machine, is left alone. A
// lock path that is not a plain file (a link, a FIFO, a folder) is refused at
// once. Released, and its file removed, when the object goes.
class SettingsLock
{
public:
    explicit SettingsLock(const QString &path);
    ~SettingsLock();
    SettingsLock(const SettingsLock &) = delete;
    SettingsLock &operator=(const SettingsLock &) = delete;

    // Waits at most `wait` for a holder that is alive.
    bool tryLock(std::chrono::milliseconds wait);

private:
    enum class Attempt
    {
        Taken,
        Held,
        Removed, // a lock of an ended process was removed: try again at once
        Refused
    };
    Attempt attempt();
    Attempt removeIfEnded();

    QByteArray m_path;
    int m_fd = -1;
};

} // namespace pulvane::store
