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

QString stickDriverLine(const StickDriverFound &stick, bool libusb0Present)
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
    if (!bridge && is("libusb0"))
        return libusb0Present ? usable.arg(name, stick.service)
                              : QStringLiteral("%1 has the driver libusb0, but the driver's library "
                                               "libusb0.dll is missing from System32: install "
                                               "the stick maker's driver package again")
                                    .arg(name);
    if (!bridge && (is("WinUSB") || is("libusbK")))
        return usable.arg(name, stick.service);
    if (bridge && is("silabser"))
        return usable.arg(name, stick.service);
    if (bridge && is("SiUSBXp"))
        return QStringLiteral("%1 has the driver SiUSBXp, which makes no COM port; Pulvane "
                              "reaches this stick through the bridge's virtual-COM-port driver")
            .arg(name);
    return QStringLiteral("%1 has the driver %2, through which Pulvane cannot reach it")
        .arg(name, stick.service);
}

} // namespace pulvane::stick
