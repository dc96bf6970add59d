// The simulated stick: takes the host's bytes, answers as an ANT stick would,
// and runs the radio side (searches, belts, receive failures) on simulated
// time. It reads no clock and touches no device: the owner feeds it bytes,
// moves its time forward with advanceTo() and forwards what it emits. The
// pseudo-terminal program drives it from real time; tests drive it directly.
#pragma once

#include "belt.h"
#include "simconfig.h"

#include <antframe.h>

#include <QObject>
#include <QRandomGenerator>
#include <array>
#include <functional>

namespace pulvane::antsim {

enum class ChannelState
{
    Unassigned,
    Assigned,
    Searching,
    Tracking,
    Closed
};

struct SimChannel
{
    ChannelState state = ChannelState::Unassigned;
    uint8_t type = 0;
    uint8_t network = 0;
    uint16_t deviceNumber = 0;
    uint8_t deviceType = 0;
    uint8_t transmissionType = 0;
    uint16_t period = 8192;
    uint8_t searchTimeout = 10;
    uint8_t rfFrequency = 66;
    uint8_t proximityBin = 0;
    // Taken from proximityBin when the channel opens: a new threshold waits
    // for the next search.
    uint8_t searchBin = 0;
    SimTime searchStart = 0;
    SimTime nextTick = 0;
    int trackedBelt = -1;
    int failuresInRow = 0;
};

struct BeltStats
{
    qint64 broadcasts = 0; // delivered to the host
    qint64 failures = 0;   // receive failures while tracked
    qint64 found = 0;
};

struct SimStats
{
    qint64 framesIn = 0;
    qint64 framesOut = 0;
    qint64 broadcasts = 0;
    qint64 rxFailures = 0;
    qint64 drops = 0;
    qint64 searchTimeouts = 0;
};

class SimStick : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxChannels = 8;
    static constexpr int kMaxNetworks = 8;

    explicit SimStick(const SimConfig &config, QObject *parent = nullptr);

    // Bytes from the host, handled at the current simulated time.
    void receive(const QByteArray &bytes);
    // Runs everything due up to t (t never goes backwards).
    void advanceTo(SimTime t);
    // When something is next due; nothing when the stick is idle.
    std::optional<SimTime> nextDue() const;
    SimTime now() const { return m_now; }
    bool hasVanished() const { return m_vanished; }

    const SimChannel &channel(int index) const { return m_channels.at(index); }
    const SimStats &stats() const { return m_stats; }
    const QList<Belt> &belts() const { return m_belts; }
    // The summary lines printed when the run ends.
    QStringList summary() const;

signals:
    // Bytes for the host: whole frames, with junk only when injected.
    void bytesOut(const QByteArray &bytes);
    // One line per notable event (format in the program's --help).
    void eventLine(const QString &line);
    // A reset command arrived: anything still queued for the host is stale.
    void resetReceived();
    // The stick is gone for good; nothing more comes out of it.
    void vanished();

private:
    void handle(const ant::AntMessage &message);
    bool handleChannelCommand(const ant::AntMessage &message);
    // A channel command on an assigned channel (assign: on any channel).
    void assign(uint8_t ch, const ant::AntMessage &message);
    void configure(uint8_t ch, const ant::AntMessage &message);
    void handleRequest(uint8_t ch, uint8_t requested);
    void reset();
    void openChannel(uint8_t ch);
    void closeChannel(uint8_t ch);
    void tick(int ch);
    void trySearch(int ch);
    void track(int ch);

    void send(const ant::AntMessage &message);
    void respond(uint8_t ch, uint8_t id, uint8_t code);
    // Answers a command "no error" and then carries it out when it is taken,
    // else answers with the refusal and changes nothing.
    void answer(uint8_t ch, uint8_t id, bool taken, uint8_t refusal,
                const std::function<void()> &carryOut);
    void event(uint8_t ch, uint8_t code);
    void log(const QString &what, const QString &details = QString());
    bool chance(double p);

    SimConfig m_config;
    QList<Belt> m_belts;
    QList<BeltStats> m_beltStats;
    std::array<SimChannel, kMaxChannels> m_channels;
    ant::FrameDecoder m_decoder;
    QRandomGenerator m_random;
    SimStats m_stats;
    SimTime m_now = 0;
    std::optional<SimTime> m_startupAt;
    bool m_extendedMessages = false;
    bool m_vanished = false;
};

} // namespace pulvane::antsim
