// ANT messages as values: their IDs, event and response codes, the payload
// lengths each can have, and builders for every message the host sends and
// the replies a stick sends back. No I/O; their wire form is antframe.h's.
#pragma once

#include <QByteArray>
#include <cstdint>

namespace pulvane::ant {

// The largest payload we accept; a longer length byte means we lost sync.
inline constexpr int kMaxPayload = 41;

// One message: its ID and its payload bytes (no sync, length or checksum).
struct AntMessage
{
    uint8_t id = 0;
    QByteArray payload;

    friend bool operator==(const AntMessage &, const AntMessage &) = default;
};

// Message IDs.
inline constexpr uint8_t kMsgResetSystem = 0x4A;
inline constexpr uint8_t kMsgStartup = 0x6F;
inline constexpr uint8_t kMsgSetNetworkKey = 0x46;
inline constexpr uint8_t kMsgAssignChannel = 0x42;
inline constexpr uint8_t kMsgUnassignChannel = 0x41;
// Both the command that sets a channel's ID and the stick's answer to a
// request for it.
inline constexpr uint8_t kMsgChannelId = 0x51;
inline constexpr uint8_t kMsgChannelPeriod = 0x43;
inline constexpr uint8_t kMsgSearchTimeout = 0x44;
inline constexpr uint8_t kMsgRfFrequency = 0x45;
inline constexpr uint8_t kMsgOpenChannel = 0x4B;
inline constexpr uint8_t kMsgCloseChannel = 0x4C;
inline constexpr uint8_t kMsgRequestMessage = 0x4D;
inline constexpr uint8_t kMsgProximitySearch = 0x71;
inline constexpr uint8_t kMsgBroadcastData = 0x4E;
inline constexpr uint8_t kMsgAcknowledgedData = 0x4F;
inline constexpr uint8_t kMsgBurstData = 0x50;
inline constexpr uint8_t kMsgChannelResponse = 0x40;
inline constexpr uint8_t kMsgEnableExtendedMessages = 0x66;
inline constexpr uint8_t kMsgLibConfig = 0x6E;
inline constexpr uint8_t kMsgChannelStatus = 0x52;
inline constexpr uint8_t kMsgCapabilities = 0x54;
inline constexpr uint8_t kMsgVersion = 0x3E;
inline constexpr uint8_t kMsgSerialNumber = 0x61;
inline constexpr uint8_t kMsgSerialError = 0xAE;

// Byte 1 of a 0x40 message holding this value marks an RF event, not the
// answer to a command.
inline constexpr uint8_t kMsgIdRfEvent = 0x01;

// RF event codes (byte 2 of a 0x40 message whose byte 1 is kMsgIdRfEvent).
inline constexpr uint8_t kEventRxSearchTimeout = 1;
inline constexpr uint8_t kEventRxFail = 2;
inline constexpr uint8_t kEventTx = 3;
inline constexpr uint8_t kEventTransferRxFailed = 4;
inline constexpr uint8_t kEventTransferTxCompleted = 5;
inline constexpr uint8_t kEventTransferTxFailed = 6;
inline constexpr uint8_t kEventChannelClosed = 7;
inline constexpr uint8_t kEventRxFailGoToSearch = 8;
inline constexpr uint8_t kEventChannelCollision = 9;
inline constexpr uint8_t kEventTransferTxStart = 10;
inline constexpr uint8_t kEventTransferNextDataBlock = 17;

// Response codes (byte 2 of a 0x40 message answering a command).
inline constexpr uint8_t kResponseNoError = 0;
inline constexpr uint8_t kResponseChannelInWrongState = 0x15;
inline constexpr uint8_t kResponseChannelNotOpened = 0x16;
inline constexpr uint8_t kResponseChannelIdNotSet = 0x18;
inline constexpr uint8_t kResponseCloseAllChannels = 0x19;
inline constexpr uint8_t kResponseTransferInProgress = 0x1F;
inline constexpr uint8_t kResponseInvalidMessage = 0x28;
inline constexpr uint8_t kResponseInvalidNetworkNumber = 0x29;
inline constexpr uint8_t kResponseInvalidParameter = 0x33;
inline constexpr uint8_t kResponseSerialQueueOverflow = 0x34;
inline constexpr uint8_t kResponseQueueOverflow = 0x35;

// Channel types for assignChannel.
inline constexpr uint8_t kChannelTypeSlave = 0x00;
inline constexpr uint8_t kChannelTypeMaster = 0x10;
inline constexpr uint8_t kChannelTypeReceiveOnly = 0x40;

// Extended-assignment flags (optional fourth byte of assignChannel).
inline constexpr uint8_t kExtAssignBackgroundScanning = 0x01;
inline constexpr uint8_t kExtAssignFrequencyAgility = 0x04;
inline constexpr uint8_t kExtAssignFastChannelInit = 0x10;

// Startup reasons.
inline constexpr uint8_t kStartupPowerOn = 0x00;
inline constexpr uint8_t kStartupCommandReset = 0x20;

// Flag byte that follows the eight data bytes of an extended data message.
inline constexpr uint8_t kExtendedDataFlag = 0x80;
// Library configuration flag: append the channel ID to every data message.
inline constexpr uint8_t kLibConfigChannelId = 0x80;

// Search timeout value meaning "never time out".
inline constexpr uint8_t kSearchTimeoutNever = 255;

// The payload lengths a message of this ID can have, from host or stick.
// Frames of an ID we do not know (known false) may carry up to kMaxPayload.
struct PayloadLengths
{
    int min = 0;
    int max = kMaxPayload;
    bool known = false;
};
PayloadLengths payloadLengths(uint8_t id);

// Host to stick.
AntMessage resetSystem();
// key points to eight bytes.
AntMessage setNetworkKey(uint8_t network, const uint8_t *key);
AntMessage assignChannel(uint8_t channel, uint8_t channelType, uint8_t network);
AntMessage assignChannel(uint8_t channel, uint8_t channelType, uint8_t network,
                         uint8_t extendedFlags);
AntMessage unassignChannel(uint8_t channel);
AntMessage setChannelId(uint8_t channel, uint16_t deviceNumber, uint8_t deviceType,
                        uint8_t transmissionType);
AntMessage setChannelPeriod(uint8_t channel, uint16_t period);
AntMessage setSearchTimeout(uint8_t channel, uint8_t timeout);
AntMessage setRfFrequency(uint8_t channel, uint8_t offset);
AntMessage openChannel(uint8_t channel);
AntMessage closeChannel(uint8_t channel);
AntMessage requestMessage(uint8_t channel, uint8_t messageId);
AntMessage setProximitySearch(uint8_t channel, uint8_t bin);
AntMessage enableExtendedMessages(bool enable);
AntMessage libConfig(uint8_t flags);

// Stick to host.
AntMessage startup(uint8_t reason);
// The answer to the command `messageId` on `channel`.
AntMessage channelResponse(uint8_t channel, uint8_t messageId, uint8_t code);
// An RF event (0x40 with kMsgIdRfEvent).
AntMessage channelEvent(uint8_t channel, uint8_t eventCode);
// data: the eight data bytes (shorter is padded with zeros, longer is cut).
AntMessage broadcastData(uint8_t channel, const QByteArray &data);
AntMessage acknowledgedData(uint8_t channel, const QByteArray &data);
// sequence: bits 5-6 of the first byte; last sets bit 7.
AntMessage burstData(uint8_t channel, uint8_t sequence, bool last, const QByteArray &data);
// A broadcast with the transmitter's ID appended (flag form, 14 bytes).
AntMessage extendedBroadcastData(uint8_t channel, const QByteArray &data, uint16_t deviceNumber,
                                 uint8_t deviceType, uint8_t transmissionType);
AntMessage channelId(uint8_t channel, uint16_t deviceNumber, uint8_t deviceType,
                     uint8_t transmissionType);
AntMessage channelStatus(uint8_t channel, uint8_t status);
AntMessage capabilities(uint8_t maxChannels, uint8_t maxNetworks, uint8_t standardOptions,
                        uint8_t advancedOptions, uint8_t advancedOptions2,
                        uint8_t advancedOptions3 = 0);
// text without its NUL terminator; the builder adds it.
AntMessage version(const QByteArray &text);
AntMessage serialNumber(uint32_t number);
AntMessage serialError(uint8_t errorCode = 0);

} // namespace pulvane::ant
