#include "devicenumberstore.h"

#include "devicenumberstore_p.h"

#include <QLoggingCategory>
#include <QStringLiteral>

namespace pulvane::store {

// The store's logging category: why a save wrote nothing.
Q_LOGGING_CATEGORY(lcStore, "pulvane.store")

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

// Why a save wrote nothing, for the user's diagnostics: the window shows only
// the value that failed.
void tellWhy(const QString &cause)
{
    qCWarning(lcStore).noquote() << QStringLiteral("SAVE TO PC wrote nothing: %1").arg(cause);
}

} // namespace

std::optional<QString> saveDeviceNumber(int32_t deviceNumber)
{
    QStringList keys;
    for (const StoredValue &value : kValues)
        keys.append(QLatin1StringView(value.key) + u'/' + QLatin1StringView(value.valueName));
    const std::optional<detail::StoreFailure> failed =
        detail::writeToUserStore(keys, QString::number(deviceNumber));
    if (!failed)
        return std::nullopt;
    tellWhy(failed->cause);
    return writeFailure(kValues[failed->index].valueName);
}

} // namespace pulvane::store
