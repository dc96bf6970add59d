// Finder::MainEvent, the response handler: every message the stick sends
// that is neither data nor an RF event lands here. Answers to configuration
// commands drive the chain from the network key to an open channel; the
// channel-ID message gives the device number.
//
// Runs on the window's thread, one call at a time, right after the ANT
// interface has filled ResponseBuffer with the message's payload.
#include "finder.h"

#include "antlibrary.h"
#include "antmessages.h"

#include <QString>

#include <algorithm>
#include <iterator>

namespace pulvane {

using namespace ant;

namespace {

inline constexpr uint8_t kSearchTimeout = 250;

class Chain
{
public:
    Chain(FinderState &state, FinderView &view, AntLibrary &ant, uint8_t channel)
        : m_state(state), m_view(view), m_ant(ant), m_channel(channel)
    {}

    void handle(uint8_t responseChannel, uint8_t answeredId, uint8_t code);

    // What each acknowledgement does after its line: send the next command
    // (to the callback channel) and log it, or mark the channel.
    void assignChannel();
    void setChannelId();
    void setChannelPeriod();
    void setProximitySearch();
    void setSearchTimeout();
    void setRfFrequency();
    void openChannelOnce();
    void markOpen();
    void markClosed();
    void nothing() {}

private:
    void line(const QString &text) { m_view.appendLine(text); }
    void separator() { m_view.appendSeparator(); }
    void command(const QString &text)
    {
        if (m_state.LogCommands)
            line(text);
    }

    FinderState &m_state;
    FinderView &m_view;
    AntLibrary &m_ant;
    const uint8_t m_channel;
};

// One answered command of the chain, as the log shows it.
struct Step
{
    uint8_t answers;
    // Given the response code, the response's channel and the callback
    // channel; null when a refusal does not end the chain.
    const char *failure;
    // Given the callback channel, ChannelType and NetworkNumber.
    const char *ack;
    enum Separator
    {
        None,
        AfterAck,
        AfterFailure
    } separator;
    void (Chain::*then)();
};

// The configuration chain in the order a START runs it, then the answers
// that end or follow it.
constexpr Step kSteps[] = {
    {kMsgSetNetworkKey, "Fail(0x%.2X) - NetworkKey", "Ack - SetNetworkKey", Step::AfterAck,
     &Chain::assignChannel},
    {kMsgAssignChannel, "Fail(0x%.2X) - AssignChannel(%.2d)", "Ack - AssignChannel(%d; %d; %d)",
     Step::AfterAck, &Chain::setChannelId},
    {kMsgChannelId, "Fail(0x%.2X) - SetChannelID(%.2d)", "Ack - SetChannelID", Step::AfterAck,
     &Chain::setChannelPeriod},
    // A refused period does not end the chain: the search runs on the
    // stick's current period.
    {kMsgChannelPeriod, nullptr, "Ack - SetChannelPeriod", Step::AfterAck,
     &Chain::setProximitySearch},
    {kMsgProximitySearch, "Fail(0x%.2X) - SetProximitySearch(%.2d)", "Ack - SetProximitySearch",
     Step::AfterAck, &Chain::setSearchTimeout},
    {kMsgSearchTimeout, "Fail(0x%.2X) - SetChannelSearchTimeout(%.2d)",
     "Ack - SetChannelSearchTimeout", Step::AfterAck, &Chain::setRfFrequency},
    {kMsgRfFrequency, "Fail(0x%.2X) - SetRFFreq(%.2d) - channel(%d)", "Ack - SetRFFreq",
     Step::AfterFailure, &Chain::openChannelOnce},
    {kMsgOpenChannel, "Fail(0x%.2X) - Open(%.2d)", "Ack[%d] - Open", Step::None, &Chain::markOpen},
    {kMsgCloseChannel, "Fail(0x%.2X) - Close(%.2d)", "Ack[%d] - Close", Step::None,
     &Chain::markClosed},
    {kMsgUnassignChannel, "Fail((0x%X)) - UnassignChannel(%d)", "Ack - UnassignChannel", Step::None,
     &Chain::nothing},
};

void Chain::handle(uint8_t responseChannel, uint8_t answeredId, uint8_t code)
{
    const int ch = m_channel;
    const int rch = responseChannel;
    const bool failed = code != kResponseNoError;

    const auto *step = std::find_if(std::begin(kSteps), std::end(kSteps),
                                    [&](const Step &s) { return s.answers == answeredId; });
    if (step == std::end(kSteps)) {
        if (failed)
            line(QString::asprintf("Fail(0x%.2X) - MesgID:(0x%.2X) - Channel:(%.2d)", code,
                                   answeredId, rch));
        else
            line(QString::asprintf("Ack - MesgID:(0x%.2X) - Channel:(%.2d)", answeredId, rch));
        return;
    }
    // Formats take only the arguments they name; the rest are ignored.
    if (failed && step->failure) {
        line(QString::asprintf(step->failure, code, rch, ch));
        if (step->separator == Step::AfterFailure)
            separator();
        return;
    }
    const LinkParameters &p = m_state.link;
    line(QString::asprintf(step->ack, ch, p.ChannelType, p.NetworkNumber));
    if (step->separator == Step::AfterAck)
        separator();
    (this->*step->then)();
}

void Chain::assignChannel()
{
    const LinkParameters &p = m_state.link;
    m_ant.ANT_AssignChannel(m_channel, p.ChannelType, p.NetworkNumber);
    // The line names channel 0 whatever the callback channel was.
    command(
        QString::asprintf("Cmd - AssignChannel(%d; %d, %d)", 0, p.ChannelType, p.NetworkNumber));
}

void Chain::setChannelId()
{
    const LinkParameters &p = m_state.link;
    // Only channel 0 is ever configured; the ID goes there, the line shows
    // the callback channel.
    m_ant.ANT_SetChannelId(0, uint16_t(p.DeviceNumber), p.DeviceType, p.TransmissionType);
    command(QString::asprintf("Cmd - SetChannelId(%d; %d; %d; %d)", int(m_channel),
                              int(p.DeviceNumber), p.DeviceType, p.TransmissionType));
}

void Chain::setChannelPeriod()
{
    m_ant.ANT_SetChannelPeriod(m_channel, m_state.link.MessagePeriod);
    command(QString::asprintf("Cmd - SetChannelPeriod(%d; %d)", int(m_channel),
                              m_state.link.MessagePeriod));
}

void Chain::setProximitySearch()
{
    // Read now, so the value in the spin edit at this moment is the one used.
    const int threshold = m_view.proximityValue();
    m_ant.ANT_SetProximitySearch(m_channel, uint8_t(threshold));
    command(QString::asprintf("Cmd - SetProximitySearch(%d, %d)", int(m_channel), threshold));
}

void Chain::setSearchTimeout()
{
    m_ant.ANT_SetChannelSearchTimeout(m_channel, kSearchTimeout);
    command(
        QString::asprintf("Cmd - SetChannelSearchTimeout(%d: %d)", int(m_channel), kSearchTimeout));
}

void Chain::setRfFrequency()
{
    m_ant.ANT_SetChannelRFFreq(m_channel, m_state.link.RFFrequency);
    command(QString::asprintf("Cmd - SetChannelRFFreq(%d; %d)", int(m_channel),
                              m_state.link.RFFrequency));
}

void Chain::openChannelOnce()
{
    // One START opens the channel once; a repeated acknowledgement sends nothing.
    if (!m_state.OpenRequested)
        return;
    m_state.OpenRequested = false;
    m_ant.ANT_OpenChannel(m_channel);
    command(QString::asprintf("Cmd[%d] - OpenChannel", int(m_channel)));
}

void Chain::markOpen()
{
    m_state.ChannelOpen = true;
    m_state.LinkActive = true;
    m_view.enableIdTimer();
}

void Chain::markClosed()
{
    m_state.ChannelOpen = false;
}

} // namespace

bool Finder::MainEvent(uint8_t channel, uint8_t messageId)
{
    switch (messageId) {
    case kMsgChannelResponse: {
        const auto &buffer = m_state.ResponseBuffer;
        Chain(m_state, m_view, m_ant, channel).handle(buffer[0], buffer[1], buffer[2]);
        break;
    }
    case kMsgChannelId:
        takeChannelId();
        break;
    default:
        // The stick's own messages (start-up after a reset and the like).
        break;
    }
    return false;
}

} // namespace pulvane
