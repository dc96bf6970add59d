#include "devicenumberstore_p.h"

#include <QSettings>

namespace pulvane::store::detail {

// Both values are written together or not at all, so a failure always names
// the first one and no message names a value that was written.
std::optional<qsizetype> writeToUserStore(const QStringList &keys, const QString &text)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Morvask"),
                       QStringLiteral("Quelb"));
    for (const QString &key : keys)
        settings.setValue(key, text);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return 0;
    return std::nullopt;
}

} // namespace pulvane::store::detail
