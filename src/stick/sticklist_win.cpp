// The stick list as Windows finds it: libusb and the COM ports of bridge
// sticks. There is no virtual-stick directory: UART modules and simulators
// are named in PULVANE_STICKS.
#include "sticklist.h"

#include "sticklist_p.h"

namespace pulvane::ant {

QList<StickLocation> findSticks()
{
    return listSticks(scanBulkSticks(), scanSerialSticks(), {}, namedSticksOfEnvironment());
}

QString namedStickPlace()
{
    return QStringLiteral("PULVANE_STICKS");
}

} // namespace pulvane::ant
