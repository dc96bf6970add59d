#include "sticklist.h"

#include "sticklist_p.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace pulvane::stick {

namespace {

bool locationLess(const StickLocation &a, const StickLocation &b)
{
    // Sticks with their maker's driver come first, by the names it gives
    // them: libusb0.dll tells nothing of where a stick is plugged in.
    const bool aLibusb0 = a.kind == StickLocation::Kind::Libusb0;
    if (aLibusb0 != (b.kind == StickLocation::Kind::Libusb0))
        return aLibusb0;
    if (a.busNumber != b.busNumber)
        return a.busNumber < b.busNumber;
    if (a.portNumbers != b.portNumbers)
        return std::lexicographical_compare(a.portNumbers.begin(), a.portNumbers.end(),
                                            b.portNumbers.begin(), b.portNumbers.end());
    return a.path < b.path;
}

StickLocation serialLocation(const SerialStickFound &found)
{
    StickLocation location;
    location.kind = StickLocation::Kind::Serial;
    location.path = found.node;
    location.busNumber = found.busNumber;
    location.portNumbers = found.portNumbers;
    location.productId = found.productId;
    location.description = QStringLiteral("ANT stick %1 (0fcf:%2)")
                               .arg(found.node)
                               .arg(found.productId, 4, 16, QLatin1Char('0'));
    return location;
}

} // namespace

QList<StickLocation> orderSticks(const QList<BulkStickFound> &bulk,
                                 const QList<SerialStickFound> &serial,
                                 const QList<VirtualStickFound> &virtuals,
                                 const QList<VirtualStickFound> &named)
{
    // A stick without an address (libusb0.dll's, a COM port) is no other
    // entry's device.
    const auto nodeOf = [&serial](const BulkStickFound &stick) -> const SerialStickFound * {
        if (!stick.deviceAddress)
            return nullptr;
        for (const SerialStickFound &node : serial)
            if (node.busNumber == stick.location.busNumber &&
                node.deviceAddress == stick.deviceAddress)
                return &node;
        return nullptr;
    };

    QList<StickLocation> usbList;
    QList<StickLocation> serialList;
    QStringList serialTargets;
    // A bulk stick libusb may not open, but whose node we may, is used as a
    // serial stick; otherwise it stays a bulk stick so that opening it says
    // why it failed.
    QStringList nodesTaken;
    for (const BulkStickFound &stick : bulk) {
        const SerialStickFound *node = nodeOf(stick);
        if (node)
            nodesTaken << node->node;
        if (!stick.reachable && node && node->readWrite) {
            StickLocation location = stick.location;
            location.kind = StickLocation::Kind::Serial;
            location.path = node->node;
            location.description = serialLocation(*node).description;
            serialList << location;
            serialTargets << node->target;
        } else {
            usbList << stick.location;
        }
    }
    for (const SerialStickFound &node : serial) {
        if (nodesTaken.contains(node.node))
            continue;
        serialList << serialLocation(node);
        serialTargets << node.target;
    }
    std::sort(usbList.begin(), usbList.end(), locationLess);
    std::sort(serialList.begin(), serialList.end(), locationLess);

    QList<StickLocation> all = usbList + serialList;
    // A virtual entry may lead to a node already listed (a UART module is
    // fine, but a link to /dev/ttyUSB0 would list that stick twice).
    for (const VirtualStickFound &v : virtuals)
        if (!serialTargets.contains(v.target))
            all << v.location;
    // A named port may be one the scans found already, or named twice.
    QStringList listed = serialTargets;
    for (const VirtualStickFound &v : virtuals)
        listed << v.target;
    for (const VirtualStickFound &n : named) {
        if (listed.contains(n.target))
            continue;
        listed << n.target;
        all << n.location;
    }
    return all;
}

QList<BulkStickFound> withoutLibusb0Sticks(const QList<BulkStickFound> &libusb,
                                           const QList<StickDriverFound> &drivers)
{
    QList<BulkStickFound> kept;
    for (const BulkStickFound &stick : libusb) {
        const bool libusb0s =
            std::any_of(drivers.begin(), drivers.end(), [&stick](const StickDriverFound &d) {
                return servedByLibusb0(d) &&
                       samePlace(d, stick.location.productId, stick.location.portNumbers);
            });
        if (!libusb0s)
            kept << stick;
    }
    return kept;
}

QList<StickLocation> findSticks()
{
    return scanSticks(host::ProcessSnapshot::read()).sticks;
}

QList<VirtualStickFound> namedSticks(const QString &value, QChar separator)
{
    QList<VirtualStickFound> found;
    for (const QString &part : value.split(separator)) {
        const QString port = part.trimmed();
        if (port.isEmpty())
            continue;
        VirtualStickFound stick;
        stick.location.kind = StickLocation::Kind::Virtual;
        stick.location.path = port;
        stick.location.description = QStringLiteral("%1 (named in PULVANE_STICKS)").arg(port);
        stick.target = port;
        found << stick;
    }
    return found;
}

QList<VirtualStickFound> namedSticksOfEnvironment()
{
    return namedSticks(qEnvironmentVariable("PULVANE_STICKS"), QDir::listSeparator());
}

QList<StickLocation> listSticks(const QList<BulkStickFound> &bulk, QList<SerialStickFound> serial,
                                const QList<VirtualStickFound> &virtuals,
                                QList<VirtualStickFound> named)
{
    // Resolved only when a virtual or named entry needs the comparison:
    // resolving a node costs a walk through its links (and the umockdev test
    // bed's realpath() overruns its buffer on them). A COM port resolves to
    // nothing and keeps its name.
    const auto resolve = [](QString &target, const QString &node) {
        const QString canonical = QFileInfo(node).canonicalFilePath();
        if (!canonical.isEmpty())
            target = canonical;
    };
    if (!virtuals.isEmpty() || !named.isEmpty()) {
        for (SerialStickFound &found : serial)
            resolve(found.target, found.node);
        for (VirtualStickFound &found : named)
            resolve(found.target, found.location.path);
    }
    return orderSticks(bulk, serial, virtuals, named);
}

} // namespace pulvane::stick
