#include "devicenumberstore.h"

#include <QSettings>
#include <QStringLiteral>

namespace pulvane::store {

namespace {

struct StoredValue
{
    const char *key;
    const char *valueName;
};

// The companion applications read these; the order is the order of writing.
constexpr StoredValue kValues[] = {
    {"OrvantaDeviceAnt", "QrxAnt_DeviceHrNumber"},
    {"OrvantaDeviceAntP", "QrxAntP_HRDeviceNumber"},
};

QString writeFailure(const char *valueName)
{
    return QStringLiteral("Echec à la définition des données pour '%1'")
        .arg(QLatin1StringView(valueName));
}

} // namespace

std::optional<QString> saveDeviceNumber(int32_t deviceNumber)
{
    // Scoped to this call: the store is released on every return path.
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Morvask"),
                       QStringLiteral("Quelb"));
    // A file store is rewritten whole on each sync; writing it through a temporary
    // file that replaces the old one means a crash never leaves it truncated.
    settings.setAtomicSyncRequired(true);

    // A store that cannot be read cleanly would be rewritten without the parts Qt
    // could not parse, so it is left alone: the first key counts as not opened.
    if (settings.status() != QSettings::NoError)
        return writeFailure(kValues[0].valueName);

    const QString text = QString::number(deviceNumber);
    for (const StoredValue &value : kValues) {
        settings.setValue(QLatin1StringView(value.key) + u'/' + QLatin1StringView(value.valueName),
                          text);
        // Synced value by value so that a failure names the value that was not
        // written; status() keeps the first error, and nothing is tried after it.
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return writeFailure(value.valueName);
    }
    return std::nullopt;
}

} // namespace pulvane::store
