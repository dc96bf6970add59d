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
        SerialStickFound stick;
        stick.node = port.port;
        stick.target = port.port;
        stick.productId = port.usb->productId;
        stick.portNumbers = port.portNumbers;
        // Not an address libusb gives: no bulk stick is taken for this port.
        stick.deviceAddress = -1;
        // Whether the port can be had shows only when it is opened.
        stick.readWrite = true;
        found << stick;
    }
    return found;
}

} // namespace pulvane::stick
