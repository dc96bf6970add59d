// A bulk stick as libusb-1.0 reaches it, shared by the scan (bulkscan.cpp)
// and the transport (usbtransport.cpp): where it is plugged in, opening it by
// that place, and the words for an open that failed.
//
// Called on the thread that opens sticks; nothing here keeps state.
#pragma once

#include <QList>
#include <QString>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace pulvane::stick {

inline constexpr int kUsbStickInterface = 0;

// The ports from the root hub down to a device: where a bulk stick is listed,
// and how its transport finds it again (its address changes on a replug).
QList<int> usbPortChain(libusb_device *device);

// What opening a stick gave: its handle with interface 0 claimed, and the
// bulk endpoints of that interface (0 when it has none of a direction).
struct UsbStickDevice
{
    libusb_device_handle *handle = nullptr;
    bool claimed = false;
    unsigned char inEndpoint = 0;
    unsigned char outEndpoint = 0;
    // The size of one IN read: whole packets, so a read never ends mid-packet.
    int readSize = 0;
};

// Finds the stick at busNumber/portNumbers among context's devices, opens
// it, claims interface 0 (the kernel's serial driver, when it holds the
// interface, is detached until release) and reads the endpoints. Returns
// libusb's code; node is set once the stick is found. Whatever was opened is
// in device also on failure, for the caller to release.
int openUsbStick(libusb_context *context, int busNumber, const QList<int> &portNumbers,
                 UsbStickDevice *device, QString *node);

// Why opening failed, from libusb's code, for "ANT stick N not opened: ".
QString usbOpenFailure(int libusbError, const QString &description, const QString &node);

QString usbErrorText(int libusbError);

} // namespace pulvane::stick
