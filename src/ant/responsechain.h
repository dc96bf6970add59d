// The response handler: every message the stick sends that is neither data
// nor an RF event lands here (through the finder's MainEvent). Answers to
// configuration commands drive the chain from the network key to an open
// channel; the channel-ID message is handed to the finder.
//
// Runs on the window's thread, one call at a time, right after the ANT
// interface has filled ResponseBuffer with the message's payload.
#pragma once

#include "extractionsteps.h"
#include "finderstate.h"
#include "finderview.h"

#include <cstdint>

namespace pulvane::ant {

class AntLibrary;

// What the link handlers work on: the finder's state, its window, the stick,
// and the finder's own extraction steps.
struct LinkContext
{
    FinderState &state;
    FinderView &view;
    AntLibrary &ant;
    ExtractionSteps &steps;
};

// channel: the channel the ANT interface passed with the callback; commands
// of the chain go to it. Returns false on every path.
bool MainEvent(const LinkContext &link, uint8_t channel, uint8_t messageId);

} // namespace pulvane::ant
