// Serial sticks as Windows lists them: the COM ports whose USB device is a
// bridge stick (0fcf:1004), found by hardware ID through SetupAPI.
#include "comports.h"
#include "stickscan.h"

namespace pulvane::stick {

QList<SerialStickFound> scanSerialSticks()
{
    QList<SerialStickFound> found;
    for (const ComPortFound &port : scanComPorts()) {
        if (!port.usb || port.usb->vendorId != kAntVendorId ||
            port.usb->productId != kBridgeStickProductId)
            continue;
        found << comPortStickFound(port.port, port.usb->productId, port.portNumbers);
    }
    return found;
}

} // namespace pulvane::stick
