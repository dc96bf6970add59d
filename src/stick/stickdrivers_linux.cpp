// Linux reaches every bulk stick through libusb and the kernel: no driver of
// the stick's maker stands in the way, and none needs a word.
#include "stickdrivers.h"

namespace pulvane::stick {

DriverScan scanDrivers()
{
    return {};
}

const QList<StickDriverFound> &driversOf(DriverScan &scan)
{
    if (!scan.drivers)
        scan.drivers.emplace();
    return *scan.drivers;
}

QStringList stickDriverLines(DriverScan &)
{
    return {};
}

QStringList stickLibraryLines(const DriverScan &)
{
    return {};
}

ant::OpenedStick openBulkStick(const StickLocation &stick)
{
    return openLibusbStick(stick);
}

} // namespace pulvane::stick
