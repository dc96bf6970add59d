// The channel-event handler: data received on channel 0 and its RF events
// (through the finder's FrameChannelEvent). Keeps the link statistics, logs,
// reopens the channel once after a lost transmitter, and hands every
// broadcast to the finder's heart-rate and channel-ID steps.
//
// Runs on the window's thread, one call at a time, right after the ANT
// interface has filled ChannelEventBuffer.
#pragma once

#include "responsechain.h"

#include <cstdint>

namespace pulvane::ant {

// channel: the channel the ANT interface passed; a reopen goes to it.
// Returns the handler's verdict for the interface (which ignores it).
bool FrameChannelEvent(const LinkContext &link, uint8_t channel, uint8_t eventCode);

} // namespace pulvane::ant
