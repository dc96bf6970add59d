// The platform's half of the device-number store: devicenumberstore_linux.cpp
// (a settings file) or devicenumberstore_win.cpp (the registry), picked by
// the build.
#pragma once

#include <QStringList>
#include <optional>

namespace pulvane::store::detail {

// A value the store did not take, and why.
struct StoreFailure
{
    qsizetype index; // in the keys given: the value the user is told of
    QString cause;   // where, and what the store said, for the diagnostics
};

// Writes `text` under each of `keys` ("Key/ValueName", as QSettings names
// them, in the order given) in the per-user settings store of Morvask/Quelb.
// Returns nothing when every value was written.
std::optional<StoreFailure> writeToUserStore(const QStringList &keys, const QString &text);

} // namespace pulvane::store::detail
