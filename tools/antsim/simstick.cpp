#include "simstick.h"

#include <antmessages.h>

#include <QStringList>
#include <algorithm>
#include <iterator>

namespace pulvane::antsim {

using namespace pulvane::ant;

namespace {

QString hex(unsigned value)
{
    return QStringLiteral("0x%1").arg(value, 2, 16, QChar(u'0'));
}

bool isOpen(ChannelState state)
{
    return state == ChannelState::Searching || state == ChannelState::Tracking;
}

// Low two bits of the channel status byte.
uint8_t statusBits(ChannelState state)
{
    switch (state) {
    case ChannelState::Unassigned:
        return 0;
    case ChannelState::Assigned:
    case ChannelState::Closed:
        return 1;
    case ChannelState::Searching:
        return 2;
    case ChannelState::Tracking:
        return 3;
    }
    return 0;
}

// Commands whose first payload byte is a channel number.
bool isChannelCommand(uint8_t id)
{
    constexpr uint8_t kChannelCommands[] = {
        kMsgAssignChannel, kMsgChannelId,       kMsgChannelPeriod,  kMsgSearchTimeout,
        kMsgRfFrequency,   kMsgProximitySearch, kMsgRequestMessage, kMsgUnassignChannel,
        kMsgOpenChannel,   kMsgCloseChannel};
    return std::find(std::begin(kChannelCommands), std::end(kChannelCommands), id) !=
           std::end(kChannelCommands);
}

} // namespace

SimStick::SimStick(const SimConfig &config, QObject *parent)
    : QObject(parent), m_config(config), m_random(config.seed)
{
    for (const BeltSetup &setup : config.belts)
        m_belts.append(Belt(setup));
    m_beltStats.resize(m_belts.size());
}

void SimStick::receive(const QByteArray &bytes)
{
    if (m_vanished)
        return;
    for (const AntMessage &message : m_decoder.feed(bytes)) {
        ++m_stats.framesIn;
        handle(message);
        if (m_vanished)
            return;
    }
}

std::optional<SimTime> SimStick::nextDue() const
{
    if (m_vanished)
        return std::nullopt;
    std::optional<SimTime> due = m_startupAt;
    const auto consider = [&due](SimTime t) {
        if (!due || t < *due)
            due = t;
    };
    if (m_config.vanishAt)
        consider(*m_config.vanishAt);
    for (const SimChannel &c : m_channels) {
        if (isOpen(c.state))
            consider(c.nextTick);
    }
    return due;
}

void SimStick::advanceTo(SimTime t)
{
    while (!m_vanished) {
        const std::optional<SimTime> due = nextDue();
        if (!due || *due > t)
            break;
        m_now = std::max(m_now, *due);
        if (m_config.vanishAt && *m_config.vanishAt <= m_now) {
            m_vanished = true;
            log(QStringLiteral("vanished"));
            emit vanished();
            return;
        }
        if (m_startupAt && *m_startupAt <= m_now) {
            m_startupAt.reset();
            send(startup(kStartupCommandReset));
            log(QStringLiteral("startup"), QStringLiteral("reason=0x20"));
            continue;
        }
        for (int ch = 0; ch < kMaxChannels; ++ch) {
            if (isOpen(m_channels[ch].state) && m_channels[ch].nextTick <= m_now)
                tick(ch);
        }
    }
    m_now = std::max(m_now, t);
}

void SimStick::handle(const AntMessage &message)
{
    const uint8_t id = message.id;
    const uint8_t ch = message.payload.isEmpty() ? 0 : uint8_t(message.payload.at(0));
    if (m_config.ignore.contains(id)) {
        log(QStringLiteral("ignored"), QStringLiteral("id=%1").arg(hex(id)));
        return;
    }
    if (id != kMsgResetSystem && m_config.refuse.contains(id)) {
        const uint8_t code = m_config.refuse.value(id);
        log(QStringLiteral("refused"),
            QStringLiteral("ch=%1 id=%2 code=%3").arg(ch).arg(hex(id), hex(code)));
        respond(ch, id, code);
        return;
    }
    switch (id) {
    case kMsgResetSystem:
        reset();
        return;
    case kMsgSetNetworkKey:
        if (message.payload.size() < 9)
            respond(ch, id, kResponseInvalidMessage);
        else if (ch >= kMaxNetworks)
            respond(ch, id, kResponseInvalidNetworkNumber);
        else {
            // The key's bytes are never shown: it may be a licensed one.
            log(QStringLiteral("netkey"), QStringLiteral("net=%1").arg(ch));
            respond(ch, id, kResponseNoError);
        }
        return;
    case kMsgEnableExtendedMessages:
    case kMsgLibConfig:
        if (message.payload.size() < 2) {
            respond(0, id, kResponseInvalidMessage);
            return;
        }
        m_extendedMessages = id == kMsgEnableExtendedMessages
                                 ? message.payload.at(1) != 0
                                 : (uint8_t(message.payload.at(1)) & kLibConfigChannelId) != 0;
        respond(0, id, kResponseNoError);
        return;
    case kMsgBroadcastData:
    case kMsgAcknowledgedData:
    case kMsgBurstData:
        // Data for a master; our channels only receive.
        log(QStringLiteral("data-ignored"), QStringLiteral("id=%1").arg(hex(id)));
        return;
    default:
        break;
    }
    if (!handleChannelCommand(message))
        respond(ch, id, kResponseInvalidMessage);
}

// Returns false for a message that is no channel command or is malformed.
bool SimStick::handleChannelCommand(const AntMessage &message)
{
    const uint8_t id = message.id;
    if (!isChannelCommand(id) || message.payload.size() < payloadLengths(id).min)
        return false;
    const auto byte = [&message](int i) { return uint8_t(message.payload.at(i)); };
    const uint8_t ch = byte(0);
    if (ch >= kMaxChannels)
        return false;
    SimChannel &c = m_channels[ch];
    if (id == kMsgAssignChannel) {
        assign(ch, message);
        return true;
    }
    if (c.state == ChannelState::Unassigned) {
        // Stick-wide answers and the status need no assigned channel.
        if (id == kMsgRequestMessage && byte(1) != kMsgChannelId)
            handleRequest(ch, byte(1));
        else
            respond(ch, id, m_config.unassignedChannelCode);
        return true;
    }
    configure(ch, message);
    return true;
}

void SimStick::assign(uint8_t ch, const AntMessage &message)
{
    const auto byte = [&message](int i) { return uint8_t(message.payload.at(i)); };
    SimChannel &c = m_channels[ch];
    const uint8_t type = byte(1);
    uint8_t refusal = kResponseNoError;
    if (c.state != ChannelState::Unassigned)
        refusal = kResponseChannelInWrongState;
    else if (byte(2) >= kMaxNetworks)
        refusal = kResponseInvalidNetworkNumber;
    else if ((type & 0x0F) != 0 || type > 0x60)
        refusal = kResponseInvalidParameter;
    answer(ch, message.id, refusal == kResponseNoError, refusal, [&] {
        c = SimChannel{};
        c.state = ChannelState::Assigned;
        c.type = type;
        c.network = byte(2);
    });
}

void SimStick::configure(uint8_t ch, const AntMessage &message)
{
    const uint8_t id = message.id;
    const auto byte = [&message](int i) { return uint8_t(message.payload.at(i)); };
    SimChannel &c = m_channels[ch];
    const bool open = isOpen(c.state);
    switch (id) {
    case kMsgUnassignChannel:
        answer(ch, id, !open, kResponseChannelInWrongState,
               [&] { c.state = ChannelState::Unassigned; });
        break;
    case kMsgChannelId:
        answer(ch, id, !open, kResponseChannelInWrongState, [&] {
            c.deviceNumber = uint16_t(byte(1) | byte(2) << 8);
            c.deviceType = byte(3);
            c.transmissionType = byte(4);
        });
        break;
    case kMsgChannelPeriod: {
        const uint16_t period = uint16_t(byte(1) | byte(2) << 8);
        answer(ch, id, period != 0, kResponseInvalidParameter, [&] { c.period = period; });
        break;
    }
    case kMsgSearchTimeout:
        c.searchTimeout = byte(1);
        respond(ch, id, kResponseNoError);
        break;
    case kMsgRfFrequency:
        answer(ch, id, byte(1) <= 124, kResponseInvalidParameter, [&] { c.rfFrequency = byte(1); });
        break;
    case kMsgProximitySearch:
        answer(ch, id, byte(1) <= kMaxProximityBin, m_config.proximityRangeCode,
               [&] { c.proximityBin = byte(1); });
        break;
    case kMsgOpenChannel:
        answer(ch, id, !open, kResponseChannelInWrongState, [&] { openChannel(ch); });
        break;
    case kMsgCloseChannel:
        answer(ch, id, open, kResponseChannelInWrongState, [&] { closeChannel(ch); });
        break;
    case kMsgRequestMessage:
        handleRequest(ch, byte(1));
        break;
    }
}

void SimStick::handleRequest(uint8_t ch, uint8_t requested)
{
    const SimChannel &c = m_channels[ch];
    switch (requested) {
    case kMsgChannelId: {
        uint16_t device = c.deviceNumber;
        uint8_t type = c.deviceType;
        uint8_t trans = c.transmissionType;
        if (c.state == ChannelState::Tracking) {
            const BeltSetup &belt = m_belts.at(c.trackedBelt).setup();
            device = belt.deviceNumber;
            type = kHeartRateDeviceType;
            trans = belt.transmissionType;
        }
        send(channelId(ch, device, type, trans));
        log(QStringLiteral("request"), QStringLiteral("ch=%1 id=0x51 dev=%2 type=%3 trans=%4")
                                           .arg(ch)
                                           .arg(device)
                                           .arg(type)
                                           .arg(trans));
        return;
    }
    case kMsgChannelStatus: {
        const uint8_t status =
            uint8_t(statusBits(c.state) | (c.network & 0x03) << 2 | (c.type & 0xF0));
        send(channelStatus(ch, status));
        log(QStringLiteral("request"),
            QStringLiteral("ch=%1 id=0x52 status=%2").arg(ch).arg(hex(status)));
        return;
    }
    case kMsgCapabilities:
        send(capabilities(kMaxChannels, kMaxNetworks, 0x00, 0xBA, 0x36, 0x00));
        break;
    case kMsgVersion:
        send(version(m_config.version));
        break;
    case kMsgSerialNumber:
        send(serialNumber(m_config.serialNumber));
        break;
    default:
        respond(ch, kMsgRequestMessage, kResponseInvalidMessage);
        return;
    }
    log(QStringLiteral("request"), QStringLiteral("ch=%1 id=%2").arg(ch).arg(hex(requested)));
}

void SimStick::reset()
{
    for (SimChannel &c : m_channels)
        c = SimChannel{};
    m_extendedMessages = false;
    m_startupAt.reset();
    if (m_config.startupDelay)
        m_startupAt = m_now + *m_config.startupDelay;
    log(QStringLiteral("reset"));
    emit resetReceived();
}

void SimStick::send(const AntMessage &message)
{
    QByteArray bytes;
    if (chance(m_config.garbage)) {
        const int count = 1 + int(m_random.bounded(8));
        for (int i = 0; i < count; ++i) {
            uint8_t b = uint8_t(m_random.bounded(256));
            if (b == kSync && !m_config.garbageWithSync)
                b = 0x00;
            bytes.append(char(b));
        }
    }
    bytes.append(encodeFrame(message));
    ++m_stats.framesOut;
    emit bytesOut(bytes);
}

void SimStick::respond(uint8_t ch, uint8_t id, uint8_t code)
{
    send(channelResponse(ch, id, code));
    log(QStringLiteral("response"),
        QStringLiteral("ch=%1 id=%2 code=%3").arg(ch).arg(hex(id), hex(code)));
}

void SimStick::answer(uint8_t ch, uint8_t id, bool taken, uint8_t refusal,
                      const std::function<void()> &carryOut)
{
    respond(ch, id, taken ? kResponseNoError : refusal);
    if (taken)
        carryOut();
}

void SimStick::event(uint8_t ch, uint8_t code)
{
    send(channelEvent(ch, code));
}

void SimStick::log(const QString &what, const QString &details)
{
    QString line = what + QStringLiteral(" t=%1").arg(double(m_now) / kUsPerSecond, 0, 'f', 3);
    if (!details.isEmpty())
        line += u' ' + details;
    emit eventLine(line);
}

bool SimStick::chance(double p)
{
    return p > 0 && m_random.generateDouble() < p;
}

QStringList SimStick::summary() const
{
    QStringList lines;
    lines << QStringLiteral("summary t=%1 frames-in=%2 frames-out=%3 junk-in=%4 broadcasts=%5 "
                            "rx-failures=%6 drops=%7 search-timeouts=%8")
                 .arg(double(m_now) / kUsPerSecond, 0, 'f', 3)
                 .arg(m_stats.framesIn)
                 .arg(m_stats.framesOut)
                 .arg(m_decoder.droppedBytes())
                 .arg(m_stats.broadcasts)
                 .arg(m_stats.rxFailures)
                 .arg(m_stats.drops)
                 .arg(m_stats.searchTimeouts);
    for (int i = 0; i < m_belts.size(); ++i) {
        const BeltSetup &setup = m_belts[i].setup();
        lines << QStringLiteral("belt dev=%1 trans=%2 found=%3 broadcasts=%4 failures=%5")
                     .arg(setup.deviceNumber)
                     .arg(setup.transmissionType)
                     .arg(m_beltStats[i].found)
                     .arg(m_beltStats[i].broadcasts)
                     .arg(m_beltStats[i].failures);
    }
    return lines;
}

} // namespace pulvane::antsim
