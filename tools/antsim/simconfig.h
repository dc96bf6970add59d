// Everything that shapes one simulator run: the belts around the stick, the
// radio model and the faults to inject. Filled from the command line by
// options.h, or directly by tests.
#pragma once

#include "belt.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>
#include <optional>

namespace pulvane::antsim {

struct SimConfig
{
    QList<BeltSetup> belts;
    // Beyond this a tracked belt is lost; also the reach of a search with
    // proximity off (bin 0).
    double radioRange = 20.0;
    // Receive failures in a row before the channel drops back to search.
    int dropAfter = 8;
    // Time from a reset command to the startup message; nothing when unset.
    std::optional<SimTime> startupDelay = 350 * 1000;

    uint8_t proximityRangeCode = 0x28;
    uint8_t unassignedChannelCode = 0x15;

    // Faults.
    QMap<uint8_t, uint8_t> refuse; // command ID -> response code
    QSet<uint8_t> ignore;          // command IDs never answered
    double garbage = 0;            // chance of junk bytes before a frame
    bool garbageWithSync = false;  // junk may hold the sync byte 0xA4
    double lossy = 0;              // chance that a belt's message is lost
    std::optional<SimTime> vanishAt;

    quint32 seed = 1;
    quint32 serialNumber = 0x0B5A1E01;
    QByteArray version = "ANTSIM1.0";
};

// Three belts at clearly different distances: only the nearest fits the
// default proximity bin 4, and it is also the strongest with proximity off.
QList<BeltSetup> defaultBelts();

} // namespace pulvane::antsim
