// The stick list as Windows finds it: bulk sticks through libusb0.dll (the
// maker's driver) and libusb, and the COM ports of bridge sticks. There is no
// virtual-stick directory: UART modules and simulators are named in
// PULVANE_STICKS.
#include "sticklist.h"

#include "sticklist_p.h"

namespace pulvane::stick {

QList<StickLocation> findSticks()
{
    return listSticks(scanLibusb0Sticks() + scanBulkSticks(), scanSerialSticks(), {},
                      namedSticksOfEnvironment());
}

QString namedStickPlace()
{
    return QStringLiteral("PULVANE_STICKS");
}

} // namespace pulvane::stick
