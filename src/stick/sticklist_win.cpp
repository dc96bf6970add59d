// The stick list as Windows finds it: bulk sticks through libusb0.dll (the
// maker's driver) and libusb, each stick once, and the COM ports of bridge
// sticks. There is no
// virtual-stick directory: UART modules and simulators are named in
// PULVANE_STICKS.
#include "sticklist.h"

#include "sticklist_p.h"

namespace pulvane::stick {

StickScan scanSticks(const host::ProcessSnapshot &)
{
    StickScan scan;
    scan.drivers = scanDrivers();
    QList<BulkStickFound> libusb = scanBulkSticks();
    if (!libusb.isEmpty())
        libusb = withoutLibusb0Sticks(libusb, driversOf(scan.drivers));
    scan.sticks = listSticks(scan.drivers.libusb0Sticks + libusb, scanSerialSticks(), {},
                             namedSticksOfEnvironment());
    return scan;
}

QString namedStickPlace()
{
    return QStringLiteral("PULVANE_STICKS");
}

} // namespace pulvane::stick
