// Where one ANT stick is, as the stick list hands it to the opener.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>

namespace pulvane::stick {

inline constexpr uint16_t kAntVendorId = 0x0FCF;
inline constexpr uint16_t kBridgeStickProductId = 0x1004;
inline constexpr uint16_t kUsb2StickProductId = 0x1008;
inline constexpr uint16_t kUsbMStickProductId = 0x1009;
// The bridge stick's UART runs at this rate whatever ANT_Init is given.
inline constexpr int kBridgeStickBaudrate = 115200;

inline bool isAntStick(uint16_t vendor, uint16_t product)
{
    return vendor == kAntVendorId &&
           (product == kBridgeStickProductId || product == kUsb2StickProductId ||
            product == kUsbMStickProductId);
}

struct StickLocation
{
    enum class Kind
    {
        Usb,
        // A bulk stick with its maker's libusb-win32 driver (Windows).
        Libusb0,
        Serial,
        Virtual
    };
    Kind kind = Kind::Usb;
    // Serial: the tty node. Virtual: the directory entry (a link to a tty).
    // Libusb0: the device's name as libusb0.dll lists it.
    QString path;
    // Usb and Serial: where the stick is plugged in.
    int busNumber = 0;
    QList<int> portNumbers;
    uint16_t productId = 0;
    // For messages on standard error.
    QString description;
};

} // namespace pulvane::stick
