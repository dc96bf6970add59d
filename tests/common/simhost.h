// antsim's simulated stick on its virtual clock with a host on the other side
// that sends real frames and decodes every frame the stick sends back.
#pragma once

#include "antframe.h"
#include "antmessages.h"
#include "heartrateprofile.h"
#include "simstick.h"

#include <QTest>

namespace pulvane::test {

using namespace pulvane::ant;
using namespace pulvane::antsim;

inline constexpr SimTime kSecond = kUsPerSecond;

// The stick with a host on the other side that decodes every frame.
class Host
{
public:
    explicit Host(const SimConfig &config) : stick(config)
    {
        QObject::connect(&stick, &SimStick::bytesOut, &stick, [this](const QByteArray &bytes) {
            raw.append(bytes);
            received.append(decoder.feed(bytes));
        });
        QObject::connect(&stick, &SimStick::eventLine, &stick,
                         [this](const QString &line) { lines.append(line); });
    }

    QList<AntMessage> send(const AntMessage &message)
    {
        received.clear();
        stick.receive(encodeFrame(message));
        return received;
    }
    uint8_t codeFor(const AntMessage &command)
    {
        const QList<AntMessage> answers = send(command);
        if (answers.size() != 1 || answers[0].id != kMsgChannelResponse)
            return 0xFF;
        const QByteArray &p = answers[0].payload;
        return uint8_t(p.at(1)) == command.id ? uint8_t(p.at(2)) : 0xFE;
    }
    // Receive channel 0 the way the finder sets it up, opened.
    void openHeartRateChannel(uint8_t bin, uint8_t timeout)
    {
        const uint8_t key[8] = {};
        for (const AntMessage &m :
             {setNetworkKey(0, key), assignChannel(0, kChannelTypeSlave, 0),
              setChannelId(0, 0, kHeartRateDeviceType, 0), setChannelPeriod(0, kHeartRatePeriod),
              setProximitySearch(0, bin), setSearchTimeout(0, timeout),
              setRfFrequency(0, kAntPlusRfFrequency), openChannel(0)})
            QCOMPARE(codeFor(m), uint8_t(0));
    }
    QList<AntMessage> runFor(SimTime duration)
    {
        received.clear();
        stick.advanceTo(stick.now() + duration);
        return received;
    }

    SimStick stick;
    FrameDecoder decoder;
    QList<AntMessage> received;
    QByteArray raw;
    QStringList lines;
};

inline SimConfig configWith(const QList<BeltSetup> &belts)
{
    SimConfig config;
    config.belts = belts;
    return config;
}

inline BeltSetup beltAt(uint16_t device, double metres)
{
    BeltSetup setup;
    setup.deviceNumber = device;
    setup.distance = metres;
    return setup;
}

// RF event codes of the 0x40 messages among `messages`, 0x4E for a broadcast.
inline QList<int> eventTrail(const QList<AntMessage> &messages)
{
    QList<int> trail;
    for (const AntMessage &m : messages) {
        if (m.id == kMsgBroadcastData)
            trail.append(kMsgBroadcastData);
        else if (m.id == kMsgChannelResponse && uint8_t(m.payload.at(1)) == kMsgIdRfEvent)
            trail.append(uint8_t(m.payload.at(2)));
    }
    return trail;
}

inline QList<AntMessage> broadcasts(const QList<AntMessage> &messages)
{
    QList<AntMessage> out;
    for (const AntMessage &m : messages) {
        if (m.id == kMsgBroadcastData)
            out.append(m);
    }
    return out;
}

} // namespace pulvane::test
