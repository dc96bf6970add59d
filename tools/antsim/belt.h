// A virtual heart-rate belt: where it is at a given simulated time, what its
// heart rate is, and the data pages it broadcasts. Pure: time comes in as an
// argument, nothing here reads a clock.
#pragma once

#include "heartrateprofile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

namespace pulvane::antsim {

using ant::kHeartRateDeviceType;

// Simulated time in microseconds since the simulator started.
using SimTime = qint64;
inline constexpr SimTime kUsPerSecond = 1000000;

// One point of a walk: the belt is `metres` away at `atSeconds`; between
// points it moves in a straight line, after the last one it stays.
struct WalkPoint
{
    double atSeconds = 0;
    double metres = 0;
};

struct BeltSetup
{
    uint16_t deviceNumber = 0;
    uint8_t transmissionType = 1;
    double distance = 1.0;
    QList<WalkPoint> walk;
    int heartRate = 72;
    // The heart rate swings by this much either side of heartRate over 30 s.
    int heartRateSwing = 6;
    // A legacy belt sends page 0 only and never flips the toggle bit.
    bool legacy = false;
};

// Parses "dev=12345,trans=1,dist=0.5,hr=72,swing=6,walk=0.5@0/20@10/0.5@30,legacy".
// dev is required. On failure returns nothing and sets why.
std::optional<BeltSetup> parseBeltSetup(const QString &text, QString *why);

// The distance limit of a proximity bin in metres: bin 1 the nearest, 10 the
// widest; bin 0 (proximity search off) is limited only by the radio range.
double proximityBinMetres(int bin, double radioRange);
inline constexpr int kMaxProximityBin = 10;

class Belt
{
public:
    explicit Belt(const BeltSetup &setup);

    const BeltSetup &setup() const { return m_setup; }
    double distanceAt(SimTime t) const;
    int heartRateAt(SimTime t) const;

    // The 8 data bytes of the belt's next broadcast at time t. Calls must come
    // with non-decreasing t; each call is one message sent by the belt.
    QByteArray nextPage(SimTime t);

private:
    void beatUntil(SimTime t);
    QByteArray backgroundPage(int page, SimTime t) const;

    BeltSetup m_setup;
    qint64 m_messages = 0;
    SimTime m_lastBeat = 0;
    SimTime m_nextBeat = 0;
    SimTime m_previousBeat = 0;
    uint8_t m_beatCount = 0;
    int m_backgroundIndex = 0;
};

} // namespace pulvane::antsim
