#include "search.h"

namespace pulvane::antsim {

int nearestBelt(const QList<Belt> &belts, const SearchWanted &wanted, double radioRange, SimTime t)
{
    if (wanted.rfFrequency != ant::kAntPlusRfFrequency)
        return -1;
    const uint8_t wantedType = wanted.deviceType & 0x7F;
    if (wantedType != 0 && wantedType != kHeartRateDeviceType)
        return -1;
    const double reach = proximityBinMetres(wanted.bin, radioRange);
    int best = -1;
    double bestDistance = 0;
    for (int i = 0; i < belts.size(); ++i) {
        const BeltSetup &setup = belts[i].setup();
        if ((wanted.deviceNumber != 0 && wanted.deviceNumber != setup.deviceNumber) ||
            (wanted.transmissionType != 0 && wanted.transmissionType != setup.transmissionType))
            continue;
        const double d = belts[i].distanceAt(t);
        if (d <= reach && (best < 0 || d < bestDistance)) {
            best = i;
            bestDistance = d;
        }
    }
    return best;
}

} // namespace pulvane::antsim
