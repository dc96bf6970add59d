// What a settings file in Qt's INI format holds, as written: what a save
// compares before and after Qt's own writer has been at it.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <optional>

namespace pulvane::store {

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
