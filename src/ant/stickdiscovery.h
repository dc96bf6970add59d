// The ordered list of ANT sticks on this machine and the provider ANT_Init
// opens them through.
//
// Order: bulk sticks (0fcf:1008, 0fcf:1009) through libusb by bus and port;
// then serial sticks as tty nodes (0fcf:1004, and bulk sticks libusb cannot
// reach but the kernel's serial driver can), by bus and port; then the
// entries of the virtual-stick directory by name. No stick appears twice.
#pragma once

#include "stickprovider.h"

#include <QList>
#include <QString>
#include <cstdint>

namespace pulvane::ant {

inline constexpr uint16_t kAntVendorId = 0x0FCF;
inline constexpr uint16_t kBridgeStickProductId = 0x1004;
inline constexpr uint16_t kUsb2StickProductId = 0x1008;
inline constexpr uint16_t kUsbMStickProductId = 0x1009;
// The bridge stick's UART runs at this rate whatever ANT_Init is given.
inline constexpr int kBridgeStickBaudrate = 115200;

struct StickLocation
{
    enum class Kind
    {
        Usb,
        Serial,
        Virtual
    };
    Kind kind = Kind::Usb;
    // Serial: the tty node. Virtual: the directory entry (a link to a tty).
    QString path;
    // Usb and Serial: where the stick is plugged in.
    int busNumber = 0;
    QList<int> portNumbers;
    uint16_t productId = 0;
    // For messages on standard error.
    QString description;
};

// $XDG_RUNTIME_DIR/pulvane/sticks, or /tmp/pulvane-<uid>/sticks when
// XDG_RUNTIME_DIR is unset. The directory may not exist.
QString virtualStickDirectory();
// The entries of a virtual-stick directory whose target is a character
// device, by name; dangling links and anything else are skipped.
QList<StickLocation> virtualSticks(const QString &directory);
// The whole list, built afresh from what is plugged in now.
QList<StickLocation> findSticks();
// Opens one stick. Serial sticks ignore baudrate (the bridge stick needs
// kBridgeStickBaudrate); virtual sticks use it, for UART modules.
std::unique_ptr<Transport> openStickAt(const StickLocation &stick, int baudrate, QString *why);
// "name (pid), ..." for the processes that have devicePath open, or empty.
// Only processes we may look into are seen.
QString programsHolding(const QString &devicePath);

class SystemStickProvider : public StickProvider
{
public:
    std::unique_ptr<Transport> openStick(int index, int baudrate, QString *why) override;
};

} // namespace pulvane::ant
