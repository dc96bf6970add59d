#include "devicenumberstore.h"

#include "settingsfile.h"

#include <QSettings>
#include <QStringLiteral>
#include <chrono>

namespace pulvane::store {

namespace {

using namespace std::chrono_literals;

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

QString keyOf(const StoredValue &value)
{
    return QLatin1StringView(value.key) + u'/' + QLatin1StringView(value.valueName);
}

} // namespace

std::optional<QString> saveDeviceNumber(int32_t deviceNumber)
{
    const QString text = QString::number(deviceNumber);
    // Both values are written together or not at all, so a failure always
    // names the first one and no message names a value that was written.
#ifdef Q_OS_WIN
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Morvask"),
                       QStringLiteral("Quelb"));
    for (const StoredValue &value : kValues)
        settings.setValue(keyOf(value), text);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return writeFailure(kValues[0].valueName);
#else
    // How long a click may wait for another program that is writing the store.
    constexpr std::chrono::milliseconds kLockWait = 3s;
    // A file shared with the companion applications: the file mechanics take
    // its location from QSettings and keep what else is in it.
    const QString path = QSettings(QSettings::NativeFormat, QSettings::UserScope,
                                   QStringLiteral("Morvask"), QStringLiteral("Quelb"))
                             .fileName();
    QList<SettingsValue> values;
    for (const StoredValue &value : kValues)
        values.append({keyOf(value), text});
    if (!setValuesInFile(path, values, kLockWait))
        return writeFailure(kValues[0].valueName);
#endif
    return std::nullopt;
}

} // namespace pulvane::store
