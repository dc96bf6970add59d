#include "finder.h"

#include "antlibrary.h"
#include "antmessages.h"
#include "devicenumberstore.h"
#include "heartrateprofile.h"
#include "networkkey.h"

namespace pulvane {

namespace {

const QString kNotFound = QStringLiteral("USB ANT dongle not found.");
const QString kLost = QStringLiteral("USB ANT dongle lost.");

// USB device numbers 0 to 3 are tried in turn.
inline constexpr int kStickAttempts = ant::kStickIndexes;
// A stick needs this long after a reset before it takes commands.
inline constexpr int kResetSettleMs = 600;

inline constexpr uint8_t kHeartRateChannel = 0;

} // namespace

Finder::Finder(FinderView &view, ant::AntLibrary &ant, QObject *parent)
    : QObject(parent), m_view(view), m_ant(ant)
{
    // Queued: a write that finds the stick gone reports it from inside a
    // handler here, whose remaining steps (the first broadcast disabling
    // START, a command's log line) must not land on top of the loss.
    connect(&m_ant, &ant::AntLibrary::stickGone, this, &Finder::stickLost, Qt::QueuedConnection);
}

Finder::~Finder()
{
    // A stick still held (the window went without FormDestroy) may go on
    // talking; its messages must not reach a finder that is gone.
    m_ant.ANT_AssignResponseFunction({}, nullptr);
    m_ant.ANT_AssignChannelEventFunction(kHeartRateChannel, {}, nullptr, 0);
}

void Finder::FormCreate(const QString &versionText)
{
    m_view.setTitle(QStringLiteral("Pulvane - Ver. ") + versionText);

    LinkParameters &p = m_state.link;
    p.NetworkNumber = 0;
    m_state.OpenRequested = false;
    m_state.LinkActive = false;
    p.MessagePeriod = ant::kHeartRatePeriod;
    p.DeviceType = ant::kHeartRateDeviceType;
    p.TransmissionType = 0;
    p.ChannelType = 0;
    p.Baudrate = ant::kAntModuleBaudrate;
    p.RFFrequency = ant::kAntPlusRfFrequency;
    ResetANT();
    p.NetworkKey = kAntNetworkKey;
    m_state.ChannelOpen = false;
    p.DeviceNumber = 0;
    m_state.LogCommands = true;
    m_state.IdRequestPending = false;
    m_state.Closing = false;
    m_state.FirstDataPending = true;
}

void Finder::ResetANT()
{
    m_state.LinkActive = false;
    m_state.OpenRequested = false;

    const double period = m_state.link.MessagePeriod;
    double windowSeconds;
    if (m_state.link.MessagePeriod <= 29789) {
        m_state.MaxNoConnect = float(65535.0 / period + 1.0);
        windowSeconds = 60.0;
    } else {
        m_state.MaxNoConnect = 4.0f;
        windowSeconds = 2520.0;
    }
    // Channel periods in windowSeconds (the period counts 1/32768 s).
    m_state.InterferenceLimit = float(ant::kPeriodUnitsPerSecond * windowSeconds / period);

    m_state.RxCount = 0;
    m_state.NoConnectCount = 0.0f;
    m_state.ReopenAfterTimeout = false;
    m_state.AckRxCount = 0;
}

void Finder::Btn_Start1Click()
{
    m_view.appendLine(QStringLiteral("Connecting to USB ANT dongle."));
    m_view.setLabel(FinderView::Label::HeartRate, QStringLiteral("HR:"));
    m_view.setLabel(FinderView::Label::DeviceNumber, QStringLiteral("ID:"));
    m_state.link.DeviceNumber = 0;
    // DeviceNumber is 0 again: saving now would overwrite the stored belt
    // with 0. The next channel ID enables SAVE TO PC again.
    m_view.setButtonEnabled(FinderView::Button::SaveToPC, false);

    bool opened = false;
    for (int index = 0; index < kStickAttempts && !opened; ++index)
        opened = m_ant.ANT_Init(uint8_t(index), m_state.link.Baudrate, 0, 0) == 1;
    // Each attempt released whatever stick an earlier START held.
    m_state.StickHeld = opened;
    if (!opened) {
        m_view.showMessage(kNotFound);
        m_view.appendLine(kNotFound);
        return;
    }

    m_ant.ANT_AssignResponseFunction(
        [this](uint8_t channel, uint8_t messageId) { return MainEvent(channel, messageId); },
        m_state.ResponseBuffer.data());
    m_ant.ANT_AssignChannelEventFunction(
        kHeartRateChannel,
        [this](uint8_t channel, uint8_t eventCode) {
            return FrameChannelEvent(channel, eventCode);
        },
        m_state.ChannelEventBuffer.data(), kChannelEventBufferSize - 1);

    m_view.setButtonEnabled(FinderView::Button::Stop, true);

    m_ant.ANT_ResetSystem();
    if (m_state.LogCommands)
        m_view.appendLine(QStringLiteral("Cmd - Reset"));
    m_view.waitMs(kResetSettleMs);

    ResetANT();
    m_state.OpenRequested = true;

    const LinkParameters &p = m_state.link;
    m_ant.ANT_SetNetworkKey(p.NetworkNumber, p.NetworkKey.data(), uint8_t(p.NetworkKey.size() - 1));
    // The key is licensed: its bytes never reach the log.
    if (m_state.LogCommands)
        m_view.appendLine(QString::asprintf(
            "Cmd - SetNetworkKey(%d; [XX][XX][XX][XX][XX][XX][XX][XX])", p.NetworkNumber));
}

void Finder::Btn_StopClick()
{
    m_state.ChannelOpen = false;

    m_ant.ANT_ResetSystem();
    if (m_state.LogCommands)
        m_view.appendLine(QStringLiteral("Cmd - ResetSystem"));
    m_view.waitMs(kResetSettleMs);

    m_ant.ANT_Close();
    m_state.StickHeld = false;
    if (m_state.LogCommands)
        m_view.appendLine(QStringLiteral("Cmd - Close"));

    m_view.setButtonEnabled(FinderView::Button::Start, true);
    m_view.setButtonEnabled(FinderView::Button::SaveToPC, false);
    m_state.LinkActive = false;
}

void Finder::Btn_SaveToPCClick()
{
    if (const std::optional<QString> error = store::saveDeviceNumber(m_state.link.DeviceNumber))
        m_view.showMessage(*error);
}

bool Finder::FormClose()
{
    if (!m_state.ChannelOpen)
        return true;
    // The stick is shut down first; the closing timer asks again once it is.
    if (!m_state.Closing) {
        m_state.Closing = true;
        Btn_StopClick();
        m_view.enableClosingTimer();
    }
    return false;
}

void Finder::FormDestroy()
{
    // StickHeld covers a window closed while the channel was still being
    // configured (ChannelOpen and LinkActive both clear): the stick must not
    // be left configured and searching.
    if (m_state.LinkActive || m_state.StickHeld)
        Btn_StopClick();
}

void Finder::tmr_RichiestaIDTimer()
{
    m_view.disableIdTimer();
    m_state.IdRequestPending = true;
}

void Finder::stickLost()
{
    // A START since the loss holds a stick again: that search goes on.
    if (m_ant.isOpen())
        return;
    m_view.appendLine(kLost);
    m_view.appendSeparator();
    // Where STOP leaves the search, without its reset and release: the
    // library has released the stick, which takes no commands any more.
    // Nothing is left to ask for a channel ID; the next open starts its own
    // timer. The ID found and SAVE TO PC stay: that number is still good.
    m_state.ChannelOpen = false;
    m_state.LinkActive = false;
    m_state.StickHeld = false;
    m_view.disableIdTimer();
    m_state.IdRequestPending = false;
    m_view.setLabel(FinderView::Label::HeartRate, QStringLiteral("HR:"));
    m_view.setButtonEnabled(FinderView::Button::Start, true);
}

void Finder::DecodificaValoriCardio()
{
    // The computed heart rate is the last byte of every heart-rate data page.
    m_state.HeartRate = double(m_state.ChannelEventBuffer[8]);
    // A whole number of beats, shown as its digits.
    m_view.setLabel(FinderView::Label::HeartRate,
                    QStringLiteral("HR: ") + QString::number(m_state.ChannelEventBuffer[8]));
}

void Finder::requestChannelId()
{
    // Always channel 0, whichever channel the carrying broadcast came on.
    m_ant.ANT_RequestMessage(kHeartRateChannel, ant::kMsgChannelId);
    m_state.IdRequestPending = false;
}

void Finder::takeChannelId()
{
    const auto &buffer = m_state.ResponseBuffer;
    m_state.link.DeviceNumber = buffer[2] * 256 + buffer[1];
    m_view.setLabel(FinderView::Label::DeviceNumber,
                    QString::asprintf("ID: %d", int(m_state.link.DeviceNumber)));
    m_view.setButtonEnabled(FinderView::Button::SaveToPC, true);
}

} // namespace pulvane
