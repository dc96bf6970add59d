// Writing values into a settings file in Qt's INI format that other programs
// share with us: their entries are kept as they are, or the file is not
// touched at all.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <optional>

namespace pulvane::store {

struct SettingsValue
{
    QString key; // "Section/name", as QSettings names it
    QString text;
};

// Why a save left the file as it was.
struct SaveRefusal
{
    enum class Cause
    {
        NotAPlainFile,     // neither missing nor a regular file (or a link to one)
        LockNotAPlainFile, // a link, a FIFO, a folder as the lock
        LockNotTaken,      // the lock could not be made, or was no plain file
        NotOwnFolder,      // see leadsIntoOwnFolder
        FolderNotMade,
        LockHeld,          // by a holder that lives, for all of the wait
        TooLarge,          // over 16 MiB
        Unreadable,
        NotFaithful,       // Qt would not write back what the file holds
        KeptChanging,      // by a writer that ignores the lock, three times
        KeptOpen,          // for writing, by another program
        NotWritten         // the new file could not be written or put in place
    };
    Cause cause;
    QString detail; // what the system or the lock's holder said, if anything

    // One line for the user's diagnostics: the cause, and the detail.
    QString text() const;
};

// Sets every value in the file at `path` (created with its folders, made
// 0700, when missing) in one atomic replacement of the file. Waits at most
// `lockWait` for the lock that QSettings writers of the same file take (see
// SettingsLock). The file is held open from the read to past the replacement:
// a file that changed before the replacement, by a writer that ignores the
// lock, is read again and the save redone, up to three times; what such a
// writer put into the old file while it was being replaced is carried into
// the new one. Returns nothing once saved, else why the file is left byte for
// byte as it was (see SaveRefusal). A UTF-8 byte-order mark at the start is
// kept. Copies that killed saves left beside the file (`.pulvane-settings-*`)
// go with the next save that has the lock: only saves holding it make them.
std::optional<SaveRefusal> setValuesInFile(const QString &path, const QList<SettingsValue> &values,
                                           std::chrono::milliseconds lockWait);

} // namespace pulvane::store
