#include "devicenumberstore_p.h"

#include "settingsfile.h"

#include <QStandardPaths>
#include <chrono>

namespace pulvane::store::detail {

using namespace std::chrono_literals;

// A file shared with the companion applications, kept by the file mechanics
// with what else is in it. All values go in one replacement of the file,
// together or not at all, so a failure always names the first value and never
// one that was written.
std::optional<StoreFailure> writeToUserStore(const QStringList &keys, const QString &text)
{
    // How long a click may wait for another program that is writing the store.
    constexpr std::chrono::milliseconds kLockWait = 3s;
    // Where QSettings(NativeFormat, UserScope, "Morvask", "Quelb") keeps it,
    // found as Qt finds it: constructing that QSettings would already read the
    // file, and a FIFO or a device in its place must not be read at all.
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/Morvask/Quelb.conf");
    QList<SettingsValue> values;
    for (const QString &key : keys)
        values.append({key, text});
    const std::optional<SaveRefusal> refused = setValuesInFile(path, values, kLockWait);
    if (!refused)
        return std::nullopt;
    return StoreFailure{0, path + QStringLiteral(": ") + refused->text()};
}

} // namespace pulvane::store::detail
