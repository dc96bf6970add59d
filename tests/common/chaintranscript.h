// The log of a complete configuration with the default link parameters, from
// START to the open channel's acknowledgement, separators as empty lines.
#pragma once

#include <QString>
#include <QStringList>

namespace pulvane::test {

inline QStringList chainTranscript(int proximity = 4)
{
    return {QStringLiteral("Connecting to USB ANT dongle."),
            QStringLiteral("Cmd - Reset"),
            QStringLiteral("Cmd - SetNetworkKey(0; [XX][XX][XX][XX][XX][XX][XX][XX])"),
            QStringLiteral("Ack - SetNetworkKey"),
            QString(),
            QStringLiteral("Cmd - AssignChannel(0; 0, 0)"),
            QStringLiteral("Ack - AssignChannel(0; 0; 0)"),
            QString(),
            QStringLiteral("Cmd - SetChannelId(0; 0; 120; 0)"),
            QStringLiteral("Ack - SetChannelID"),
            QString(),
            QStringLiteral("Cmd - SetChannelPeriod(0; 8070)"),
            QStringLiteral("Ack - SetChannelPeriod"),
            QString(),
            QStringLiteral("Cmd - SetProximitySearch(0, %1)").arg(proximity),
            QStringLiteral("Ack - SetProximitySearch"),
            QString(),
            QStringLiteral("Cmd - SetChannelSearchTimeout(0: 250)"),
            QStringLiteral("Ack - SetChannelSearchTimeout"),
            QString(),
            QStringLiteral("Cmd - SetChannelRFFreq(0; 57)"),
            QStringLiteral("Ack - SetRFFreq"),
            QStringLiteral("Cmd[0] - OpenChannel"),
            QStringLiteral("Ack[0] - Open")};
}

// The frames of the same configuration as written to the stick, in hex, the
// network key and its checksum masked; worked out by hand, not by the codec.
inline QStringList chainFrames()
{
    return {"A4 01 4A 00 EF",       "A4 09 46 00 XX XX XX XX XX XX XX XX XX",
            "A4 03 42 00 00 00 E5", "A4 05 51 00 00 00 78 00 88",
            "A4 03 43 00 86 1F 7D", "A4 02 71 00 04 D3",
            "A4 02 44 00 FA 18",    "A4 02 45 00 39 DA",
            "A4 01 4B 00 EE"};
}

} // namespace pulvane::test
