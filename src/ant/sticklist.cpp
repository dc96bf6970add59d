#include "sticklist.h"

#include "sticklist_p.h"
#include "virtualsticks.h"

#include <QFileInfo>

#include <algorithm>

namespace pulvane::ant {

namespace {

bool locationLess(const StickLocation &a, const StickLocation &b)
{
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
                                 const QList<VirtualStickFound> &virtuals)
{
    const auto nodeOf = [&serial](int bus, int address) -> const SerialStickFound * {
        for (const SerialStickFound &node : serial)
            if (node.busNumber == bus && node.deviceAddress == address)
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
        const SerialStickFound *node = nodeOf(stick.location.busNumber, stick.deviceAddress);
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
    return all;
}

QList<StickLocation> findSticks()
{
    const QList<BulkStickFound> bulk = scanBulkSticks();
    QList<SerialStickFound> serial = scanSerialSticks();
    const QList<VirtualStickFound> virtuals = scanVirtualSticks(virtualStickDirectory());
    // Resolved only when a virtual entry needs the comparison: resolving a
    // node costs a walk through its links (and the umockdev test bed's
    // realpath() overruns its buffer on them).
    if (!virtuals.isEmpty())
        for (SerialStickFound &found : serial)
            found.target = QFileInfo(found.node).canonicalFilePath();
    return orderSticks(bulk, serial, virtuals);
}

} // namespace pulvane::ant
