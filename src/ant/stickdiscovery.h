// The ordered list of ANT sticks on this machine and the provider ANT_Init
// opens them through.
#pragma once

#include "stickprovider.h"

namespace pulvane::ant {

// Rebuilds the list at each openStick: bulk sticks through libusb (by bus and
// port), then serial sticks, then the virtual-stick directory by name.
class SystemStickProvider : public StickProvider
{
public:
    std::unique_ptr<Transport> openStick(int index, int baudrate, QString *why) override;
};

} // namespace pulvane::ant
