// Writing values into a settings file in Qt's INI format that other programs
// share with us: their entries are kept as they are, or the file is not
// touched at all.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <chrono>
#include <optional>

namespace pulvane::store {

struct SettingsValue
{
    QString key; // "Section/name", as QSettings names it
    QString text;
};

// Sets every value in the file at `path` (created with its directory when
// missing) in one atomic replacement of the file. Waits at most `lockWait`
// for the lock that QSettings writers of the same file take (see
// SettingsLock). A file that changed after it was read, by a writer that
// ignores the lock, is read again and the save redone, up to three times.
// Returns false, with the file left byte for byte as it was, when the lock is
// not had in time, when the file would be saved into a folder that is not the
// user's own (see leadsIntoOwnFolder), when it kept changing, when `path` is
// neither missing nor a regular file (or a link to one),
// when the file is larger than 16 MiB, when Qt cannot read the file back
// faithfully (a line it does not parse, a value or a name it would write back
// differently, a key given twice with two values), or when the new file
// cannot be written. A UTF-8 byte-order mark at the start is kept.
// Copies that killed saves left in the directory (`.pulvane-settings-*`) go
// with the next save that has the lock: only saves holding it make them.
bool setValuesInFile(const QString &path, const QList<SettingsValue> &values,
                     std::chrono::milliseconds lockWait);

namespace detail {

// The entries of an INI text as written: "section/key" (section and key
// decoded as QSettings decodes them, "General" and no section alike) to the
// bytes of the value's text: trimmed, and a value in double quotes with no
// quote or backslash inside is the text between them, as Qt reads it.
// Comments and blank lines carry nothing. nullopt for a line that is neither
// of those, a section header nor key=value, for a name that is not UTF-8, or
// for a key given twice with different values.
std::optional<QMap<QString, QByteArray>> rawEntries(const QByteArray &ini);

} // namespace detail

} // namespace pulvane::store
