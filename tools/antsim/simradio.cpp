// SimStick's radio side on simulated time: a channel opens into a search,
// the search model (search.h) picks the belt it hears, a tracked belt's
// broadcasts arrive or fail, and a search ends by finding or timing out.
#include "search.h"
#include "simstick.h"

#include <antmessages.h>

namespace pulvane::antsim {

using namespace pulvane::ant;

namespace {

// The unit of the search timeout command.
constexpr SimTime kSearchTimeoutUnit = 2500 * 1000;

SimTime periodUs(uint16_t period)
{
    return SimTime(period) * kUsPerSecond / ant::kPeriodUnitsPerSecond;
}

} // namespace

void SimStick::openChannel(uint8_t ch)
{
    SimChannel &c = m_channels[ch];
    c.state = ChannelState::Searching;
    c.searchBin = c.proximityBin;
    c.searchStart = m_now;
    c.nextTick = m_now + periodUs(c.period);
    c.trackedBelt = -1;
    c.failuresInRow = 0;
    log(QStringLiteral("open"), QStringLiteral("ch=%1 bin=%2 rf=%3 period=%4 timeout=%5")
                                    .arg(ch)
                                    .arg(c.searchBin)
                                    .arg(c.rfFrequency)
                                    .arg(c.period)
                                    .arg(c.searchTimeout));
}

// The stick answers the close first, then reports the channel closed.
void SimStick::closeChannel(uint8_t ch)
{
    SimChannel &c = m_channels[ch];
    c.state = ChannelState::Closed;
    c.trackedBelt = -1;
    event(ch, kEventChannelClosed);
    log(QStringLiteral("closed"), QStringLiteral("ch=%1").arg(ch));
}

void SimStick::tick(int ch)
{
    SimChannel &c = m_channels[ch];
    c.nextTick += periodUs(c.period);
    if (c.state == ChannelState::Searching)
        trySearch(ch);
    else
        track(ch);
}

void SimStick::trySearch(int ch)
{
    SimChannel &c = m_channels[ch];
    const int belt = nearestBelt(
        m_belts, {c.rfFrequency, c.deviceNumber, c.deviceType, c.transmissionType, c.searchBin},
        m_config.radioRange, m_now);
    if (belt >= 0) {
        c.state = ChannelState::Tracking;
        c.trackedBelt = belt;
        c.failuresInRow = 0;
        ++m_beltStats[belt].found;
        log(QStringLiteral("found"), QStringLiteral("ch=%1 dev=%2 trans=%3 bin=%4 dist=%5")
                                         .arg(ch)
                                         .arg(m_belts[belt].setup().deviceNumber)
                                         .arg(m_belts[belt].setup().transmissionType)
                                         .arg(c.searchBin)
                                         .arg(m_belts[belt].distanceAt(m_now), 0, 'f', 2));
        track(ch);
        return;
    }
    if (c.searchTimeout != kSearchTimeoutNever &&
        m_now - c.searchStart >= SimTime(c.searchTimeout) * kSearchTimeoutUnit) {
        ++m_stats.searchTimeouts;
        event(ch, kEventRxSearchTimeout);
        log(QStringLiteral("search-timeout"), QStringLiteral("ch=%1").arg(ch));
        closeChannel(uint8_t(ch));
    }
}

void SimStick::track(int ch)
{
    SimChannel &c = m_channels[ch];
    Belt &belt = m_belts[c.trackedBelt];
    BeltStats &stats = m_beltStats[c.trackedBelt];
    // The belt sends whether or not we hear it, so its pages move on anyway.
    const QByteArray page = belt.nextPage(m_now);
    const bool inRange = belt.distanceAt(m_now) <= m_config.radioRange;
    if (inRange && !chance(m_config.lossy)) {
        c.failuresInRow = 0;
        ++m_stats.broadcasts;
        ++stats.broadcasts;
        const BeltSetup &setup = belt.setup();
        send(m_extendedMessages
                 ? extendedBroadcastData(uint8_t(ch), page, setup.deviceNumber,
                                         kHeartRateDeviceType, setup.transmissionType)
                 : broadcastData(uint8_t(ch), page));
        return;
    }
    ++stats.failures;
    const QString details = QStringLiteral("ch=%1 dev=%2").arg(ch).arg(belt.setup().deviceNumber);
    if (c.failuresInRow >= m_config.dropAfter) {
        ++m_stats.drops;
        c.state = ChannelState::Searching;
        c.searchStart = m_now;
        c.trackedBelt = -1;
        c.failuresInRow = 0;
        event(uint8_t(ch), kEventRxFailGoToSearch);
        log(QStringLiteral("drop"), details);
        return;
    }
    ++c.failuresInRow;
    ++m_stats.rxFailures;
    event(uint8_t(ch), kEventRxFail);
    log(QStringLiteral("rx-fail"),
        details + (inRange ? QStringLiteral(" cause=lost") : QStringLiteral(" cause=range")));
}

} // namespace pulvane::antsim
