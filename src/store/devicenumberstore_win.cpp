#include "devicenumberstore_p.h"

#include <QSettings>

namespace pulvane::store::detail {

// The registry takes each value the moment it is set; there is no writing
// several at once. So each value is written, flushed and checked before the
// next: the first that fails is the one named, and none after it is written.
std::optional<StoreFailure> writeToUserStore(const QStringList &keys, const QString &text)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Morvask"),
                       QStringLiteral("Quelb"));
    for (qsizetype i = 0; i < keys.size(); ++i) {
        settings.setValue(keys.at(i), text);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return StoreFailure{i, settings.fileName() + u'\\' + keys.at(i) +
                                       QStringLiteral(": the registry did not take it")};
    }
    return std::nullopt;
}

} // namespace pulvane::store::detail
