// The stick list as Linux finds it: libusb, sysfs and the virtual-stick
// directory.
#include "sticklist.h"

#include "sticklist_p.h"
#include "virtualsticks.h"

namespace pulvane::stick {

StickScan scanSticks(const host::ProcessSnapshot &processes)
{
    // A named port is vetted as a virtual entry's target is: START never
    // writes into a terminal someone is using.
    StickScan scan;
    scan.sticks = listSticks(scanBulkSticks(), scanSerialSticks(),
                             scanVirtualSticks(virtualStickDirectory(), processes),
                             vetNamedSticks(namedSticksOfEnvironment(), processes));
    return scan;
}

QString namedStickPlace()
{
    return QStringLiteral("%1 or PULVANE_STICKS").arg(virtualStickDirectory());
}

} // namespace pulvane::stick
