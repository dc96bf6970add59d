// The state of one search: link parameters, sequencing flags, link statistics
// and the two buffers the ANT interface fills before each callback.
//
// Plain data of the finder (one per window), read and written by its
// handlers; the ANT interface only fills the two buffers, before each
// callback. Everything here is touched on the window's thread only.
#pragma once

#include "antlibrary.h"
#include "heartrateprofile.h"

#include <array>
#include <cstdint>

namespace pulvane {

// Channel byte plus the eight data bytes of a data message.
inline constexpr int kChannelEventBufferSize = 9;

struct LinkParameters
{
    uint8_t ChannelType = 0;
    uint8_t NetworkNumber = 0;
    std::array<uint8_t, ant::kNetworkKeyLength> NetworkKey{};
    uint8_t RFFrequency = 0;
    int32_t DeviceNumber = 0; // holds a 16-bit number; 0 = any device while searching
    uint8_t DeviceType = 0;
    uint8_t TransmissionType = 0;
    uint16_t MessagePeriod = 0; // units of 1/32768 s
    uint16_t Baudrate = 0;
};

struct FinderState
{
    LinkParameters link;

    // Sequencing flags.
    bool LinkActive = false;
    bool OpenRequested = false;
    bool ChannelOpen = false;
    bool LogCommands = false;
    bool LogRxDetail = false;
    bool IdRequestPending = false;
    bool Closing = false;
    bool FirstDataPending = false;
    // A stick opened by START and not yet released by STOP; lets destruction
    // release a stick that was still being configured.
    bool StickHeld = false;

    // Link statistics.
    int64_t AckRxCount = 0;
    int64_t BroadcastRxCount = 0;
    int32_t RxCount = 0; // never below 0
    float NoConnectCount = 0.0f;
    bool ReopenAfterTimeout = false;
    float MaxNoConnect = 0.0f;
    float InterferenceLimit = 0.0f;

    double HeartRate = 0.0;

    // Filled by the ANT interface just before each callback; their addresses are
    // handed to it at START, so they live (and stay put) as long as the state.
    std::array<uint8_t, ant::kResponseBufferSize> ResponseBuffer{};
    std::array<uint8_t, kChannelEventBufferSize> ChannelEventBuffer{};
};

} // namespace pulvane
