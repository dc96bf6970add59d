#include "stickopen.h"

#include "serialline.h"
#include "stickdrivers.h"
#include "sticklist.h"
#include "sticklog.h"
#include "usbevents.h"
#include "usbtransport.h"

namespace pulvane::stick {

Q_LOGGING_CATEGORY(lcStick, "pulvane.stick")

std::unique_ptr<ant::Transport> openStickAt(const StickLocation &stick, int baudrate, QString *why)
{
    QString reason;
    std::unique_ptr<ant::Transport> transport;
    switch (stick.kind) {
    case StickLocation::Kind::Usb:
    case StickLocation::Kind::Libusb0:
        transport = openBulkStick(stick, &reason);
        break;
    case StickLocation::Kind::Serial:
    case StickLocation::Kind::Virtual: {
        const int rate = stick.kind == StickLocation::Kind::Serial || baudrate <= 0
                             ? kBridgeStickBaudrate
                             : baudrate;
        transport = openSerialLine(stick.path, rate, stick.description, &reason);
        break;
    }
    }
    if (!transport && why)
        *why = reason;
    return transport;
}

std::unique_ptr<ant::Transport> openLibusbStick(const StickLocation &stick, QString *why)
{
    auto usb = std::make_unique<UsbTransport>(stick.busNumber, stick.portNumbers, stick.description,
                                              usbEventDriverForPlatform());
    if (!usb->open(why))
        return nullptr;
    return usb;
}

std::unique_ptr<ant::Transport> SystemStickProvider::openStick(int index, int baudrate,
                                                               QString *why)
{
    if (index == 0) {
        m_driverLinesWritten = false;
        for (const QString &line : stickLibraryLines())
            qCWarning(lcStick).noquote() << line;
    }
    const QList<StickLocation> sticks = findSticks();
    const bool pastList = index < 0 || index >= sticks.size();
    std::unique_ptr<ant::Transport> transport;
    if (!pastList) {
        transport = openStickAt(sticks.at(index), baudrate, why);
    } else if (why) {
        *why = sticks.isEmpty() ? QStringLiteral("no ANT stick found (USB, serial, or in %1)")
                                      .arg(namedStickPlace())
                                : QStringLiteral("only %1 ANT stick(s) found").arg(sticks.size());
    }
    // START asks no further after an index past the list or its last index.
    if (!transport && !m_driverLinesWritten && (pastList || index >= ant::kStickIndexes - 1)) {
        m_driverLinesWritten = true;
        for (const QString &line : stickDriverLines())
            qCWarning(lcStick).noquote() << line;
    }
    return transport;
}

} // namespace pulvane::stick
