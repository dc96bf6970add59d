#include "stickopen.h"

#include "serialline.h"
#include "stickdrivers.h"
#include "sticklist.h"
#include "sticklog.h"
#include "usbevents.h"
#include "usbtransport.h"

namespace pulvane::stick {

Q_LOGGING_CATEGORY(lcStick, "pulvane.stick")

ant::OpenedStick openStickAt(const StickLocation &stick, int baudrate,
                             const host::ProcessSnapshot &processes)
{
    switch (stick.kind) {
    case StickLocation::Kind::Usb:
    case StickLocation::Kind::Libusb0:
        return openBulkStick(stick);
    case StickLocation::Kind::Serial:
    case StickLocation::Kind::Virtual:
        break;
    }
    const int rate =
        stick.kind == StickLocation::Kind::Serial || baudrate <= 0 ? kBridgeStickBaudrate : baudrate;
    return openSerialLine(stick.path, rate, stick.description, processes);
}

ant::OpenedStick openLibusbStick(const StickLocation &stick)
{
    auto usb = std::make_unique<UsbTransport>(stick.busNumber, stick.portNumbers, stick.description,
                                              usbEventDriverForPlatform());
    if (ant::Refusal refused = usb->open())
        return {nullptr, *refused};
    return {std::move(usb), {}};
}

ant::OpenedStick SystemStickProvider::openStick(int index, int baudrate)
{
    // A START asks its indexes in rising order; an index at or below the last
    // one asked begins another. Each START looks at /proc and at the machine's
    // sticks once, and its attempts open the sticks of that one list.
    const bool newStart = !m_scan || !m_lastIndex || index <= *m_lastIndex;
    m_lastIndex = index;
    if (newStart) {
        m_processes = host::ProcessSnapshot::read();
        m_scan = scanSticks(m_processes);
        m_driverLinesWritten = false;
        if (index == 0)
            for (const QString &line : stickLibraryLines(m_scan->drivers))
                qCWarning(lcStick).noquote() << line;
    }
    const QList<StickLocation> &sticks = m_scan->sticks;
    const bool pastList = index < 0 || index >= sticks.size();
    ant::OpenedStick opened;
    if (!pastList) {
        opened = openStickAt(sticks.at(index), baudrate, m_processes);
    } else {
        opened.why = sticks.isEmpty() ? QStringLiteral("no ANT stick found (USB, serial, or in %1)")
                                            .arg(namedStickPlace())
                                      : QStringLiteral("only %1 ANT stick(s) found").arg(sticks.size());
    }
    // START asks no further after an index past the list or its last index.
    if (!opened && !m_driverLinesWritten && (pastList || index >= ant::kStickIndexes - 1)) {
        m_driverLinesWritten = true;
        for (const QString &line : stickDriverLines(m_scan->drivers))
            qCWarning(lcStick).noquote() << line;
    }
    return opened;
}

} // namespace pulvane::stick
