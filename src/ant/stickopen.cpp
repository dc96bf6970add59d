#include "stickopen.h"

#ifdef Q_OS_WIN
#include "winserialtransport.h"
#else
#include "serialtransport.h"
#endif
#include "sticklist.h"
#include "usbtransport.h"
#include "virtualsticks.h"

namespace pulvane::ant {

namespace {

// Serial lines: Qt SerialPort on Linux, the Win32 serial API on Windows.
#ifdef Q_OS_WIN
using SerialLine = WinSerialTransport;
#else
using SerialLine = SerialTransport;
#endif

} // namespace

std::unique_ptr<Transport> openStickAt(const StickLocation &stick, int baudrate, QString *why)
{
    QString reason;
    std::unique_ptr<Transport> transport;
    switch (stick.kind) {
    case StickLocation::Kind::Usb: {
        auto usb =
            std::make_unique<UsbTransport>(stick.busNumber, stick.portNumbers, stick.description);
        if (usb->open(&reason))
            transport = std::move(usb);
        break;
    }
    case StickLocation::Kind::Serial:
    case StickLocation::Kind::Virtual: {
        const int rate = stick.kind == StickLocation::Kind::Serial || baudrate <= 0
                             ? kBridgeStickBaudrate
                             : baudrate;
        auto serial = std::make_unique<SerialLine>(stick.path, rate, stick.description);
        if (serial->open(&reason))
            transport = std::move(serial);
        break;
    }
    }
    if (!transport && why)
        *why = reason;
    return transport;
}

std::unique_ptr<Transport> SystemStickProvider::openStick(int index, int baudrate, QString *why)
{
    const QList<StickLocation> sticks = findSticks();
    if (index < 0 || index >= sticks.size()) {
        if (why) {
            // Where there is no virtual-stick directory, sticks are named in
            // PULVANE_STICKS instead.
            QString elsewhere = virtualStickDirectory();
            if (elsewhere.isEmpty())
                elsewhere = QStringLiteral("PULVANE_STICKS");
            *why = sticks.isEmpty()
                       ? QStringLiteral("no ANT stick found (USB, serial, or in %1)").arg(elsewhere)
                       : QStringLiteral("only %1 ANT stick(s) found").arg(sticks.size());
        }
        return nullptr;
    }
    return openStickAt(sticks.at(index), baudrate, why);
}

} // namespace pulvane::ant
