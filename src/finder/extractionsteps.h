// The heart-rate and device-number steps that the ANT link code runs on the
// finder's behalf. The finder implements them; the response chain and the
// channel events call them, so the link code needs no back-reference to the
// finder itself.
//
// Called on the window's thread, from inside MainEvent / FrameChannelEvent,
// right after the buffer concerned has been filled.
#pragma once

namespace pulvane {

class ExtractionSteps
{
public:
    // Shows the heart rate carried by the broadcast in ChannelEventBuffer.
    virtual void DecodificaValoriCardio() = 0;
    // Asks the stick for channel 0's ID and clears IdRequestPending.
    virtual void requestChannelId() = 0;
    // Takes the device number from the channel-ID message in ResponseBuffer.
    virtual void takeChannelId() = 0;

protected:
    ~ExtractionSteps() = default;
};

} // namespace pulvane
