#include "antmessages.h"

#include "heartrateprofile.h"

namespace pulvane::ant {

namespace {

QByteArray bytes(std::initializer_list<uint8_t> values)
{
    QByteArray out;
    out.reserve(qsizetype(values.size()));
    for (uint8_t v : values)
        out.append(char(v));
    return out;
}

QByteArray eightBytes(const QByteArray &data)
{
    QByteArray out = data.left(8);
    out.append(8 - out.size(), '\0');
    return out;
}

uint8_t lo(uint16_t v)
{
    return uint8_t(v & 0xFF);
}
uint8_t hi(uint16_t v)
{
    return uint8_t(v >> 8);
}

} // namespace

PayloadLengths payloadLengths(uint8_t id)
{
    const auto exactly = [](int n) { return PayloadLengths{n, n, true}; };
    const auto atLeast = [](int n) { return PayloadLengths{n, kMaxPayload, true}; };
    switch (id) {
    case kMsgResetSystem:
    case kMsgStartup:
    case kMsgUnassignChannel:
    case kMsgOpenChannel:
    case kMsgCloseChannel:
        return exactly(1);
    case kMsgSearchTimeout:
    case kMsgRfFrequency:
    case kMsgRequestMessage:
    case kMsgProximitySearch:
    case kMsgEnableExtendedMessages:
    case kMsgLibConfig:
    case kMsgChannelStatus:
        return exactly(2);
    case kMsgChannelPeriod:
    case kMsgChannelResponse:
        return exactly(3);
    case kMsgAssignChannel:
        return {3, 4, true};
    case kMsgSerialNumber:
        return exactly(4);
    case kMsgChannelId:
        return exactly(5);
    case kMsgSetNetworkKey:
        return exactly(9);
    case kMsgBroadcastData:
    case kMsgAcknowledgedData:
    case kMsgBurstData:
        // Extended messages add a flag byte and the transmitter's ID.
        return atLeast(9);
    case kMsgCapabilities:
        return atLeast(6);
    case kMsgVersion:
    case kMsgSerialError:
        return atLeast(1);
    default:
        return {};
    }
}

AntMessage resetSystem()
{
    return {kMsgResetSystem, bytes({0x00})};
}

AntMessage setNetworkKey(uint8_t network, const uint8_t *key)
{
    QByteArray payload(1, char(network));
    payload.append(reinterpret_cast<const char *>(key), kNetworkKeyLength);
    return {kMsgSetNetworkKey, payload};
}

AntMessage assignChannel(uint8_t channel, uint8_t channelType, uint8_t network)
{
    return {kMsgAssignChannel, bytes({channel, channelType, network})};
}

AntMessage assignChannel(uint8_t channel, uint8_t channelType, uint8_t network,
                         uint8_t extendedFlags)
{
    return {kMsgAssignChannel, bytes({channel, channelType, network, extendedFlags})};
}

AntMessage unassignChannel(uint8_t channel)
{
    return {kMsgUnassignChannel, bytes({channel})};
}

AntMessage setChannelId(uint8_t channel, uint16_t deviceNumber, uint8_t deviceType,
                        uint8_t transmissionType)
{
    return {kMsgChannelId,
            bytes({channel, lo(deviceNumber), hi(deviceNumber), deviceType, transmissionType})};
}

AntMessage setChannelPeriod(uint8_t channel, uint16_t period)
{
    return {kMsgChannelPeriod, bytes({channel, lo(period), hi(period)})};
}

AntMessage setSearchTimeout(uint8_t channel, uint8_t timeout)
{
    return {kMsgSearchTimeout, bytes({channel, timeout})};
}

AntMessage setRfFrequency(uint8_t channel, uint8_t offset)
{
    return {kMsgRfFrequency, bytes({channel, offset})};
}

AntMessage openChannel(uint8_t channel)
{
    return {kMsgOpenChannel, bytes({channel})};
}

AntMessage closeChannel(uint8_t channel)
{
    return {kMsgCloseChannel, bytes({channel})};
}

AntMessage requestMessage(uint8_t channel, uint8_t messageId)
{
    return {kMsgRequestMessage, bytes({channel, messageId})};
}

AntMessage setProximitySearch(uint8_t channel, uint8_t bin)
{
    return {kMsgProximitySearch, bytes({channel, bin})};
}

AntMessage enableExtendedMessages(bool enable)
{
    return {kMsgEnableExtendedMessages, bytes({0x00, uint8_t(enable ? 1 : 0)})};
}

AntMessage libConfig(uint8_t flags)
{
    return {kMsgLibConfig, bytes({0x00, flags})};
}

AntMessage startup(uint8_t reason)
{
    return {kMsgStartup, bytes({reason})};
}

AntMessage channelResponse(uint8_t channel, uint8_t messageId, uint8_t code)
{
    return {kMsgChannelResponse, bytes({channel, messageId, code})};
}

AntMessage channelEvent(uint8_t channel, uint8_t eventCode)
{
    return channelResponse(channel, kMsgIdRfEvent, eventCode);
}

AntMessage broadcastData(uint8_t channel, const QByteArray &data)
{
    return {kMsgBroadcastData, QByteArray(1, char(channel)) + eightBytes(data)};
}

AntMessage acknowledgedData(uint8_t channel, const QByteArray &data)
{
    return {kMsgAcknowledgedData, QByteArray(1, char(channel)) + eightBytes(data)};
}

AntMessage burstData(uint8_t channel, uint8_t sequence, bool last, const QByteArray &data)
{
    const uint8_t first =
        uint8_t((channel & 0x1F) | ((sequence & 0x03) << 5) | (last ? 0x80 : 0x00));
    return {kMsgBurstData, QByteArray(1, char(first)) + eightBytes(data)};
}

AntMessage extendedBroadcastData(uint8_t channel, const QByteArray &data, uint16_t deviceNumber,
                                 uint8_t deviceType, uint8_t transmissionType)
{
    return {kMsgBroadcastData, QByteArray(1, char(channel)) + eightBytes(data) +
                                   bytes({kExtendedDataFlag, lo(deviceNumber), hi(deviceNumber),
                                          deviceType, transmissionType})};
}

AntMessage channelId(uint8_t channel, uint16_t deviceNumber, uint8_t deviceType,
                     uint8_t transmissionType)
{
    return setChannelId(channel, deviceNumber, deviceType, transmissionType);
}

AntMessage channelStatus(uint8_t channel, uint8_t status)
{
    return {kMsgChannelStatus, bytes({channel, status})};
}

AntMessage capabilities(uint8_t maxChannels, uint8_t maxNetworks, uint8_t standardOptions,
                        uint8_t advancedOptions, uint8_t advancedOptions2, uint8_t advancedOptions3)
{
    return {kMsgCapabilities, bytes({maxChannels, maxNetworks, standardOptions, advancedOptions,
                                     advancedOptions2, advancedOptions3})};
}

AntMessage version(const QByteArray &text)
{
    QByteArray payload = text;
    payload.append('\0');
    return {kMsgVersion, payload};
}

AntMessage serialNumber(uint32_t number)
{
    return {kMsgSerialNumber, bytes({uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16),
                                     uint8_t(number >> 24)})};
}

AntMessage serialError(uint8_t errorCode)
{
    return {kMsgSerialError, bytes({errorCode})};
}

} // namespace pulvane::ant
