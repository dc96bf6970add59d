// Open failures as Windows words them: a COM port, a WinUSB device or a
// stick with its maker's driver is opened by one program at a time, and no
// listing of who holds it comes cheap.
#include "openfailure.h"

#include <libusb.h>

namespace pulvane::stick {

QString programsHolding(const QString &)
{
    return {};
}

bool accessDenied(const QString &)
{
    return false;
}

QString platformUsbReason(int libusbError, const QString &what)
{
    switch (libusbError) {
    case LIBUSB_ERROR_NOT_SUPPORTED:
        // The scan leaves such sticks out; this one changed its driver since.
        // Which driver it has is said once START has found none to open.
        return QStringLiteral("%1 has a driver that libusb cannot use").arg(what);
    case LIBUSB_ERROR_ACCESS:
        return QStringLiteral("%1 is busy: another program holds it").arg(what);
    default:
        return {};
    }
}

UdevRule installedUdevRule()
{
    return {};
}

} // namespace pulvane::stick
