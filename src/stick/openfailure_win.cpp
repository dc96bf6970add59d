// Open failures as Windows words them: a COM port or a WinUSB device is
// opened exclusively, and no listing of who holds it comes cheap.
#include "openfailure.h"

#include <libusb.h>

namespace pulvane::ant {

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
        return QStringLiteral("%1 has no WinUSB driver; bind a WinUSB-compatible driver to it "
                              "once (a driver-binding tool does this) and plug it in again")
            .arg(what);
    case LIBUSB_ERROR_ACCESS:
        return QStringLiteral("%1 is busy: another program holds it").arg(what);
    default:
        return {};
    }
}

} // namespace pulvane::ant
