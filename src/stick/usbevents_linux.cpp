// Linux: libusb offers its descriptors; they are watched on the window's thread.
#include "usbevents.h"

namespace pulvane::stick {

std::unique_ptr<UsbEventDriver> usbEventDriverForPlatform()
{
    return std::make_unique<UsbDescriptorWatch>();
}

} // namespace pulvane::stick
