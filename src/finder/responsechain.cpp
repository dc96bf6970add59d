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

namespace pulvane {

using namespace ant;

namespace {

inline constexpr uint8_t kSearchTimeout = 250;

class ChainStep
{
public:
    ChainStep(FinderState &state, FinderView &view, AntLibrary &ant, uint8_t channel)
        : m_state(state), m_view(view), m_ant(ant), m_channel(channel)
    {}

    void handle(uint8_t responseChannel, uint8_t answeredId, uint8_t code);

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

void ChainStep::handle(uint8_t responseChannel, uint8_t answeredId, uint8_t code)
{
    AntLibrary &ant = m_ant;
    const LinkParameters &p = m_state.link;
    const int ch = m_channel;
    const int rch = responseChannel;
    const bool failed = code != kResponseNoError;

    switch (answeredId) {
    case kMsgSetNetworkKey:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - NetworkKey", code));
            return;
        }
        line(QStringLiteral("Ack - SetNetworkKey"));
        separator();
        ant.ANT_AssignChannel(m_channel, p.ChannelType, p.NetworkNumber);
        // The line names channel 0 whatever the callback channel was.
        command(QString::asprintf("Cmd - AssignChannel(%d; %d, %d)", 0, p.ChannelType,
                                  p.NetworkNumber));
        return;

    case kMsgAssignChannel:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - AssignChannel(%.2d)", code, rch));
            return;
        }
        line(QString::asprintf("Ack - AssignChannel(%d; %d; %d)", ch, p.ChannelType,
                               p.NetworkNumber));
        separator();
        // Only channel 0 is ever configured; the ID goes there, the line shows
        // the callback channel.
        ant.ANT_SetChannelId(0, uint16_t(p.DeviceNumber), p.DeviceType, p.TransmissionType);
        command(QString::asprintf("Cmd - SetChannelId(%d; %d; %d; %d)", ch, int(p.DeviceNumber),
                                  p.DeviceType, p.TransmissionType));
        return;

    case kMsgChannelId:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - SetChannelID(%.2d)", code, rch));
            return;
        }
        line(QStringLiteral("Ack - SetChannelID"));
        separator();
        ant.ANT_SetChannelPeriod(m_channel, p.MessagePeriod);
        command(QString::asprintf("Cmd - SetChannelPeriod(%d; %d)", ch, p.MessagePeriod));
        return;

    case kMsgChannelPeriod: {
        // No failure test: a refused period does not end the chain, the
        // search runs on the stick's current period.
        line(QStringLiteral("Ack - SetChannelPeriod"));
        separator();
        // Read now, so the value in the spin edit at this moment is the one used.
        const int threshold = m_view.proximityValue();
        ant.ANT_SetProximitySearch(m_channel, uint8_t(threshold));
        command(QString::asprintf("Cmd - SetProximitySearch(%d, %d)", ch, threshold));
        return;
    }

    case kMsgProximitySearch:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - SetProximitySearch(%.2d)", code, rch));
            return;
        }
        line(QStringLiteral("Ack - SetProximitySearch"));
        separator();
        ant.ANT_SetChannelSearchTimeout(m_channel, kSearchTimeout);
        command(QString::asprintf("Cmd - SetChannelSearchTimeout(%d: %d)", ch, kSearchTimeout));
        return;

    case kMsgSearchTimeout:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - SetChannelSearchTimeout(%.2d)", code, rch));
            return;
        }
        line(QStringLiteral("Ack - SetChannelSearchTimeout"));
        separator();
        ant.ANT_SetChannelRFFreq(m_channel, p.RFFrequency);
        command(QString::asprintf("Cmd - SetChannelRFFreq(%d; %d)", ch, p.RFFrequency));
        return;

    case kMsgRfFrequency:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - SetRFFreq(%.2d) - channel(%d)", code, rch, ch));
            separator();
            return;
        }
        line(QStringLiteral("Ack - SetRFFreq"));
        // One START opens the channel once; a repeated acknowledgement sends nothing.
        if (m_state.OpenRequested) {
            m_state.OpenRequested = false;
            ant.ANT_OpenChannel(m_channel);
            command(QString::asprintf("Cmd[%d] - OpenChannel", ch));
        }
        return;

    case kMsgOpenChannel:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - Open(%.2d)", code, rch));
            return;
        }
        line(QString::asprintf("Ack[%d] - Open", ch));
        m_state.ChannelOpen = true;
        m_state.LinkActive = true;
        m_view.enableIdTimer();
        return;

    case kMsgCloseChannel:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - Close(%.2d)", code, rch));
            return;
        }
        line(QString::asprintf("Ack[%d] - Close", ch));
        m_state.ChannelOpen = false;
        return;

    case kMsgUnassignChannel:
        if (failed) {
            line(QString::asprintf("Fail((0x%X)) - UnassignChannel(%d)", code, rch));
            return;
        }
        line(QStringLiteral("Ack - UnassignChannel"));
        return;

    default:
        if (failed) {
            line(QString::asprintf("Fail(0x%.2X) - MesgID:(0x%.2X) - Channel:(%.2d)", code,
                                   answeredId, rch));
            return;
        }
        line(QString::asprintf("Ack - MesgID:(0x%.2X) - Channel:(%.2d)", answeredId, rch));
        return;
    }
}

} // namespace

bool Finder::MainEvent(uint8_t channel, uint8_t messageId)
{
    switch (messageId) {
    case kMsgChannelResponse: {
        const auto &buffer = m_state.ResponseBuffer;
        ChainStep(m_state, m_view, m_ant, channel).handle(buffer[0], buffer[1], buffer[2]);
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
