#include "stickscan.h"

namespace pulvane::stick {

BulkStickFound libusb0StickFound(const QString &name, uint16_t productId)
{
    BulkStickFound stick;
    stick.location.kind = StickLocation::Kind::Libusb0;
    stick.location.path = name;
    stick.location.productId = productId;
    stick.location.description = QStringLiteral("ANT USB stick 0fcf:%1 (%2)")
                                     .arg(productId, 4, 16, QLatin1Char('0'))
                                     .arg(name);
    // Listed by the library of the driver it has, so it can be opened.
    stick.reachable = true;
    return stick;
}

SerialStickFound comPortStickFound(const QString &port, uint16_t productId,
                                   const QList<int> &portNumbers)
{
    SerialStickFound stick;
    stick.node = port;
    stick.target = port;
    stick.productId = productId;
    stick.portNumbers = portNumbers;
    // Whether the port can be had shows only when it is opened.
    stick.readWrite = true;
    return stick;
}

} // namespace pulvane::stick
