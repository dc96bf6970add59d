// Finder::FrameChannelEvent, the channel-event handler: data received on
// channel 0 and its RF events. Keeps the link statistics, logs, reopens the
// channel once after a lost transmitter, and takes the heart rate and, when
// asked for, the channel ID from every broadcast.
//
// Runs on the window's thread, one call at a time, right after the ANT
// interface has filled ChannelEventBuffer.
#include "finder.h"

#include "antlibrary.h"
#include "antmessages.h"

#include <QString>

namespace pulvane {

using namespace ant;

namespace {

// Users see this line exactly as written, misspelling included ("cose"):
// keep it as it is.
const QString kInterferenceNotice =
    QStringLiteral("It should call \"HandleInterference\". Removed from cose.");

// The statistics are 32-bit floats; every step is worked in double and
// rounded once when stored, and comparisons use the stored values.
float stored(double value)
{
    return float(value);
}

class EventStep
{
public:
    EventStep(FinderSteps &finder, FinderState &state, FinderView &view, AntLibrary &ant,
              uint8_t channel)
        : m_finder(finder), m_state(state), m_view(view), m_ant(ant), m_channel(channel)
    {}

    bool searchTimeout();
    bool receiveFailure();
    bool transferCompleted();
    bool transferFailed();
    bool dropToSearch();
    bool broadcast();
    bool acknowledged();

private:
    void line(const QString &text) { m_view.appendLine(text); }
    void separator() { m_view.appendSeparator(); }
    void lineAndSeparator(const QString &text) { m_view.appendLineAndSeparator(text); }
    QString payloadBytes() const;

    FinderSteps &m_finder;
    FinderState &m_state;
    FinderView &m_view;
    AntLibrary &m_ant;
    const uint8_t m_channel;
};

// The eight payload bytes, each as two upper-case hex digits in brackets
// ("[%.2X]"). Written by hand: a line is built for every broadcast, and
// QString::asprintf costs several times the rest of the line's handling.
QString EventStep::payloadBytes() const
{
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    const auto &b = m_state.ChannelEventBuffer;
    QString text(8 * 4, Qt::Uninitialized);
    QChar *out = text.data();
    for (int i = 1; i <= 8; ++i) {
        *out++ = u'[';
        *out++ = kHex[b[i] >> 4];
        *out++ = kHex[b[i] & 0xF];
        *out++ = u']';
    }
    return text;
}

bool EventStep::searchTimeout()
{
    if (m_state.ReopenAfterTimeout) {
        // The transmitter was there a moment ago: one more search may find it.
        m_state.ReopenAfterTimeout = false;
        m_ant.ANT_OpenChannel(m_channel);
        if (m_state.LogCommands) {
            lineAndSeparator(QString::asprintf("Cmd - OpenChannel(%d)", m_channel));
        }
    } else {
        m_state.LinkActive = false;
        m_state.OpenRequested = false;
        line(kInterferenceNotice);
    }
    line(QStringLiteral("Search Timeout"));
    return false;
}

bool EventStep::receiveFailure()
{
    if (m_state.LogRxDetail) {
        lineAndSeparator(QString::asprintf("Rx Fail RF Freq:%d NoConnectCount:%.0f",
                                           m_state.link.RFFrequency,
                                           double(m_state.NoConnectCount)));
    }
    m_state.NoConnectCount = stored(double(m_state.NoConnectCount) + 1.0);
    return !(m_state.NoConnectCount < m_state.MaxNoConnect);
}

bool EventStep::transferCompleted()
{
    if (double(m_state.RxCount) < 2.0 * double(m_state.MaxNoConnect))
        ++m_state.RxCount;
    m_state.NoConnectCount = 0.0f;
    return true;
}

bool EventStep::transferFailed()
{
    if (m_state.RxCount > 0) {
        --m_state.RxCount;
        // The credit is used up: start just below the interference level, so
        // that about MaxNoConnect more failures report interference.
        if (m_state.RxCount == 0)
            m_state.NoConnectCount =
                stored(double(m_state.InterferenceLimit) - double(m_state.MaxNoConnect));
    } else {
        m_state.NoConnectCount = stored(double(m_state.NoConnectCount) + 1.0);
        if (m_state.NoConnectCount >= m_state.InterferenceLimit) {
            line(kInterferenceNotice);
            m_state.NoConnectCount = 0.0f;
        }
    }
    line(QString::asprintf("Ack Fail RF Freq:%d RxCount:%d NoConnectCount:%.0f",
                           m_state.link.RFFrequency, int(m_state.RxCount),
                           double(m_state.NoConnectCount)));
    return false;
}

bool EventStep::dropToSearch()
{
    m_state.NoConnectCount = 0.0f;
    if (m_state.RxCount > 0) {
        m_state.RxCount = 0;
        line(kInterferenceNotice);
        m_state.ReopenAfterTimeout = true;
    } else {
        m_state.ReopenAfterTimeout = false;
    }
    line(QStringLiteral("Drop to Search"));
    return false;
}

bool EventStep::broadcast()
{
    ++m_state.BroadcastRxCount;
    m_state.NoConnectCount = 0.0f;
    QString text;
    text.reserve(64);
    text.append(u"Recv(").append(QString::number(m_channel)).append(u"): ");
    text.append(payloadBytes()).append(u" RF Freq:");
    text.append(QString::number(m_state.link.RFFrequency)).append(u" RxCount:");
    text.append(QString::number(static_cast<qlonglong>(m_state.BroadcastRxCount)));
    lineAndSeparator(text);
    m_finder.DecodificaValoriCardio();
    if (m_state.IdRequestPending)
        m_finder.requestChannelId();
    if (m_state.FirstDataPending) {
        m_state.FirstDataPending = false;
        m_view.setButtonEnabled(FinderView::Button::Stop, true);
        m_view.setButtonEnabled(FinderView::Button::Start, false);
    }
    return false;
}

bool EventStep::acknowledged()
{
    ++m_state.AckRxCount;
    if (m_state.RxCount == 0)
        m_state.RxCount = 1;
    m_state.NoConnectCount = 0.0f;
    if (m_state.LogRxDetail)
        line(QString::asprintf("Rx Ack(%d): ", m_channel) + payloadBytes() +
             QString::asprintf(" RxCount:%lld", static_cast<long long>(m_state.AckRxCount)));
    return false;
}

} // namespace

bool Finder::FrameChannelEvent(uint8_t channel, uint8_t eventCode)
{
    EventStep step(*this, m_state, m_view, m_ant, channel);
    switch (eventCode) {
    case kEventRxSearchTimeout:
        return step.searchTimeout();
    case kEventRxFail:
        return step.receiveFailure();
    case kEventTransferTxCompleted:
        return step.transferCompleted();
    case kEventTransferTxFailed:
        return step.transferFailed();
    case kEventRxFailGoToSearch:
        return step.dropToSearch();
    case kEventBroadcast:
        return step.broadcast();
    case kEventAcknowledged:
        return step.acknowledged();
    default:
        return true;
    }
}

} // namespace pulvane
