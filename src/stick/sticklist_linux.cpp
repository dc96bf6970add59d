// The stick list as Linux finds it: libusb, sysfs and the virtual-stick
// directory.
#include "sticklist.h"

#include "sticklist_p.h"
#include "virtualsticks.h"

namespace pulvane::ant {

QList<StickLocation> findSticks()
{
    return listSticks(scanBulkSticks(), scanSerialSticks(),
                      scanVirtualSticks(virtualStickDirectory()));
}

QString namedStickPlace()
{
    return virtualStickDirectory();
}

} // namespace pulvane::ant
