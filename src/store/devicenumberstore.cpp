#include "devicenumberstore.h"

#include "devicenumberstore_p.h"

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
    QStringList keys;
    for (const StoredValue &value : kValues)
        keys.append(QLatin1StringView(value.key) + u'/' + QLatin1StringView(value.valueName));
    const std::optional<qsizetype> failed =
        detail::writeToUserStore(keys, QString::number(deviceNumber));
    if (failed)
        return writeFailure(kValues[*failed].valueName);
    return std::nullopt;
}

} // namespace pulvane::store
