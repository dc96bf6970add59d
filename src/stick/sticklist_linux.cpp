// The stick list as Linux finds it: libusb, sysfs and the virtual-stick
// directory.
#include "sticklist.h"

#include "sticklist_p.h"
#include "virtualsticks.h"

namespace pulvane::stick {

QList<StickLocation> findSticks()
{
    // A named port is vetted as a virtual entry's target is: START never
    // writes into a terminal someone is using.
    return listSticks(scanBulkSticks(), scanSerialSticks(),
                      scanVirtualSticks(virtualStickDirectory()),
                      vetNamedSticks(namedSticksOfEnvironment()));
}

QString namedStickPlace()
{
    return QStringLiteral("%1 or PULVANE_STICKS").arg(virtualStickDirectory());
}

} // namespace pulvane::stick
