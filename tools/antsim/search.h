// The search model: which of the virtual belts a searching channel hears.
// Pure, like the belts beside it: the time comes in as an argument.
#pragma once

#include "belt.h"

#include <QList>
#include <cstdint>

namespace pulvane::antsim {

// What a searching channel is set to find.
struct SearchWanted
{
    uint8_t rfFrequency = 0;
    // 0 in a field matches any belt (the device type's pairing bit ignored).
    uint16_t deviceNumber = 0;
    uint8_t deviceType = 0;
    uint8_t transmissionType = 0;
    // The proximity bin the search runs with (0: proximity search off).
    uint8_t bin = 0;
};

// The strongest belt the search can hear at time t: the nearest of those
// whose distance fits the search's proximity bin (and the radio's range) and
// whose ID fits the wanted one. Its index in belts, or -1.
int nearestBelt(const QList<Belt> &belts, const SearchWanted &wanted, double radioRange, SimTime t);

} // namespace pulvane::antsim
