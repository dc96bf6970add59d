// What the steps of the finder's two handlers (responsechain.cpp,
// channelevents.cpp) may ask of the finder besides its state, view and ANT
// link: the two things a broadcast sets off.
#pragma once

namespace pulvane {

class FinderSteps
{
public:
    // Shows the heart rate carried by the broadcast in ChannelEventBuffer.
    virtual void DecodificaValoriCardio() = 0;
    // Asks the stick for channel 0's ID and clears IdRequestPending.
    virtual void requestChannelId() = 0;

protected:
    ~FinderSteps() = default;
};

} // namespace pulvane
