// The stick list as Windows finds it: bulk sticks through libusb0.dll (the
// maker's driver) and libusb, each stick once, and the COM ports of bridge
// sticks. There is no
// virtual-stick directory: UART modules and simulators are named in
// PULVANE_STICKS.
#include "sticklist.h"

#include "sticklist_p.h"

namespace pulvane::stick {

QList<StickLocation> findSticks(const host::ProcessSnapshot &)
{
    const QList<BulkStickFound> libusb0 = scanLibusb0Sticks();
    QList<BulkStickFound> libusb = scanBulkSticks();
    if (!libusb0.isEmpty() && !libusb.isEmpty())
        libusb = withoutLibusb0Sticks(libusb, libusb0, scanStickDrivers());
    return listSticks(libusb0 + libusb, scanSerialSticks(), {}, namedSticksOfEnvironment());
}

QString namedStickPlace()
{
    return QStringLiteral("PULVANE_STICKS");
}

} // namespace pulvane::stick
