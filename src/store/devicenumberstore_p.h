// The platform's half of the device-number store: devicenumberstore_linux.cpp
// (a settings file) or devicenumberstore_win.cpp (the registry), picked by
// the build.
#pragma once

#include <QStringList>
#include <optional>

namespace pulvane::store::detail {

// Writes `text` under each of `keys` ("Key/ValueName", as QSettings names
// them, in the order given) in the per-user settings store of Morvask/Quelb.
// Returns nothing when every value was written, else the index in `keys` of
// the value the user is told could not be written.
std::optional<qsizetype> writeToUserStore(const QStringList &keys, const QString &text);

} // namespace pulvane::store::detail
