#include "usbdevice.h"

#include "openfailure.h"

#include <libusb.h>

#include <algorithm>

namespace pulvane::stick {

namespace {

// Each IN read spans this many packets.
constexpr int kPacketsPerRead = 8;

int readEndpoints(libusb_device *device, UsbStickDevice *stick)
{
    libusb_config_descriptor *config = nullptr;
    if (const int rc = libusb_get_active_config_descriptor(device, &config); rc != 0)
        return rc;
    const libusb_interface &interface = config->interface[kUsbStickInterface];
    if (config->bNumInterfaces > kUsbStickInterface && interface.num_altsetting > 0) {
        const libusb_interface_descriptor &setting = interface.altsetting[0];
        for (int i = 0; i < setting.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor &ep = setting.endpoint[i];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                continue;
            if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                stick->inEndpoint = ep.bEndpointAddress;
                // Bits 11-12 count extra transactions per microframe.
                stick->readSize = std::max(ep.wMaxPacketSize & 0x7FF, 8) * kPacketsPerRead;
            } else {
                stick->outEndpoint = ep.bEndpointAddress;
            }
        }
    }
    libusb_free_config_descriptor(config);
    return 0;
}

} // namespace

QList<int> usbPortChain(libusb_device *device)
{
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, int(sizeof ports));
    QList<int> chain;
    for (int p = 0; p < depth; ++p)
        chain << ports[p];
    return chain;
}

int openUsbStick(libusb_context *context, int busNumber, const QList<int> &portNumbers,
                 UsbStickDevice *stick, QString *node)
{
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    libusb_device *device = nullptr;
    for (ssize_t i = 0; i < count && !device; ++i)
        if (libusb_get_bus_number(list[i]) == busNumber && usbPortChain(list[i]) == portNumbers)
            device = list[i];
    int rc = device ? libusb_open(device, &stick->handle) : int(LIBUSB_ERROR_NO_DEVICE);
    if (device)
        *node = QStringLiteral("/dev/bus/usb/%1/%2")
                    .arg(libusb_get_bus_number(device), 3, 10, QLatin1Char('0'))
                    .arg(libusb_get_device_address(device), 3, 10, QLatin1Char('0'));
    if (rc == 0) {
        // Only when the kernel's serial driver holds the interface: libusb
        // then gives it back on release, and the stick's tty returns.
        if (libusb_kernel_driver_active(stick->handle, kUsbStickInterface) == 1)
            libusb_set_auto_detach_kernel_driver(stick->handle, 1);
        rc = libusb_claim_interface(stick->handle, kUsbStickInterface);
        stick->claimed = rc == 0;
    }
    if (rc == 0)
        rc = readEndpoints(device, stick);
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return rc;
}

QString usbOpenFailure(int rc, const QString &description, const QString &node)
{
    if (const QString platformReason = platformUsbReason(rc, description);
        !platformReason.isEmpty())
        return platformReason;
    switch (rc) {
    case LIBUSB_ERROR_ACCESS:
        return permissionReason(node.isEmpty() ? description : node, PermissionHint::UdevRule);
    case LIBUSB_ERROR_BUSY:
        return busyReason(description, node);
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return goneReason(description);
    default:
        return otherReason(description, usbErrorText(rc));
    }
}

QString usbErrorText(int libusbError)
{
    return QString::fromUtf8(libusb_strerror(libusbError));
}

} // namespace pulvane::stick
