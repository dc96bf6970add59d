// Windows: libusb offers no descriptors; its events get a thread of their own.
#include "usbevents.h"

namespace pulvane::stick {

std::unique_ptr<UsbEventDriver> usbEventDriverForPlatform()
{
    return std::make_unique<UsbEventThreadDriver>();
}

} // namespace pulvane::stick
