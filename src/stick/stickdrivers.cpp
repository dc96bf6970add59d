#include "stickdrivers.h"

#include "sticklocation.h"

namespace pulvane::stick {

namespace {

QString stickName(const StickDriverFound &stick)
{
    QString name;
    switch (stick.productId) {
    case kBridgeStickProductId:
        name = QStringLiteral("ANT USB stick 0fcf:1004 (serial bridge)");
        break;
    case kUsb2StickProductId:
        name = QStringLiteral("ANT USB2 stick 0fcf:1008");
        break;
    case kUsbMStickProductId:
        name = QStringLiteral("ANT USB-m stick 0fcf:1009");
        break;
    default:
        name = QStringLiteral("ANT stick 0fcf:%1").arg(stick.productId, 4, 16, QLatin1Char('0'));
        break;
    }
    if (!stick.location.isEmpty())
        name += QStringLiteral(" at ") + stick.location;
    return name;
}

} // namespace

bool servedByLibusb0(const StickDriverFound &stick)
{
    return stick.libusb0Driver ||
           stick.service.compare(QLatin1String("libusb0"), Qt::CaseInsensitive) == 0;
}

bool samePlace(const StickDriverFound &stick, uint16_t productId, const QList<int> &portNumbers)
{
    if (stick.productId != productId || stick.portNumbers.isEmpty())
        return false;
    if (stick.ownPortOnly)
        return !portNumbers.isEmpty() && portNumbers.last() == stick.portNumbers.first();
    return stick.portNumbers == portNumbers;
}

QString stickDriverLine(const StickDriverFound &stick, Libusb0Listing libusb0)
{
    const QString name = stickName(stick);
    const auto is = [&stick](const char *service) {
        return stick.service.compare(QLatin1String(service), Qt::CaseInsensitive) == 0;
    };
    const bool bridge = stick.productId == kBridgeStickProductId;
    const QString usable =
        QStringLiteral("%1 has the driver %2, which Pulvane uses as it is; if another program "
                       "holds the stick, close the training application and press START again");

    if (stick.service.isEmpty())
        return QStringLiteral("%1 has no driver installed: install the stick maker's driver, the "
                              "one training applications use, and plug the stick in again")
            .arg(name);
    if (bridge && is("SiUSBXp"))
        return QStringLiteral("%1 has the driver SiUSBXp (USBXpress), which Pulvane cannot use: "
                              "the stick stays with the application that uses that driver")
            .arg(name);
    const bool viaLibusb0 = !bridge && servedByLibusb0(stick);
    const bool usedAsItIs = bridge ? is("silabser") : viaLibusb0 || is("WinUSB") || is("libusbK");
    if (!usedAsItIs)
        return QStringLiteral("%1 has the driver %2, through which Pulvane cannot reach it")
            .arg(name, stick.service);
    // A driver that did not start still names itself; only Device Manager
    // tells why it does not work.
    if (stick.problem != 0)
        return QStringLiteral("%1 has the driver %2, but it does not work: Device Manager shows "
                              "problem code %3 for the stick, and its entry there says what to do")
            .arg(name, stick.service)
            .arg(stick.problem);
    if (viaLibusb0 && libusb0 == Libusb0Listing::LibraryMissing)
        return QStringLiteral("%1 has the driver libusb0, but the driver's library libusb0.dll "
                              "could not be loaded from System32: install the stick maker's driver package "
                              "again")
            .arg(name);
    if (viaLibusb0 && libusb0 == Libusb0Listing::StickNotListed)
        return QStringLiteral("%1 has the driver libusb0, but the driver's library libusb0.dll "
                              "lists no such stick: plug the stick in again; if it stays "
                              "unlisted, install the stick maker's driver package again")
            .arg(name);
    return usable.arg(name, stick.service);
}

} // namespace pulvane::stick
