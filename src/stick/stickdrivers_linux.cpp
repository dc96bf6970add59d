// Linux reaches every bulk stick through libusb and the kernel: no driver of
// the stick's maker stands in the way, and none needs a word.
#include "stickdrivers.h"

namespace pulvane::ant {

QStringList stickDriverLines()
{
    return {};
}

std::unique_ptr<Transport> openLibusb0Stick(const StickLocation &stick, QString *why)
{
    if (why)
        *why = QStringLiteral("%1: libusb-win32 sticks exist on Windows only").arg(stick.description);
    return nullptr;
}

} // namespace pulvane::ant
