#include "stickscan.h"
#include "usbdevice.h"

#include <libusb.h>

namespace pulvane::stick {

namespace {

QString portText(const QList<int> &ports)
{
    QStringList parts;
    for (int p : ports)
        parts << QString::number(p);
    return parts.join(QLatin1Char('.'));
}

} // namespace

QList<BulkStickFound> scanBulkSticks()
{
    QList<BulkStickFound> found;
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0)
        return found;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0)
            continue;
        if (!isAntStick(descriptor.idVendor, descriptor.idProduct) ||
            descriptor.idProduct == kBridgeStickProductId)
            continue;
        BulkStickFound stick;
        stick.location.kind = StickLocation::Kind::Usb;
        stick.location.busNumber = libusb_get_bus_number(list[i]);
        stick.location.portNumbers = usbPortChain(list[i]);
        stick.location.productId = descriptor.idProduct;
        stick.location.description = QStringLiteral("ANT USB stick 0fcf:%1 on bus %2 port %3")
                                         .arg(descriptor.idProduct, 4, 16, QLatin1Char('0'))
                                         .arg(stick.location.busNumber)
                                         .arg(portText(stick.location.portNumbers));
        stick.deviceAddress = libusb_get_device_address(list[i]);
        libusb_device_handle *handle = nullptr;
        const int rc = libusb_open(list[i], &handle);
        if (rc == 0)
            libusb_close(handle);
        if (rc == LIBUSB_ERROR_NOT_SUPPORTED)
            continue;
        stick.reachable = rc != LIBUSB_ERROR_ACCESS;
        found << stick;
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(context);
    return found;
}

} // namespace pulvane::stick
