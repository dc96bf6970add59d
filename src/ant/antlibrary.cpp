#include "antlibrary.h"

#include "antmessages.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cstring>

namespace pulvane::ant {

Q_LOGGING_CATEGORY(lcAnt, "pulvane.ant")

namespace {

// Messages whose first payload byte is not a channel number.
bool carriesChannel(uint8_t id)
{
    switch (id) {
    case kMsgStartup:
    case kMsgCapabilities:
    case kMsgVersion:
    case kMsgSerialNumber:
    case kMsgSerialError:
        return false;
    default:
        return true;
    }
}

// Copies as much of the payload as fits and zeroes the rest, so a buffer never
// shows bytes of an earlier, longer message.
void fill(uint8_t *buffer, int size, const QByteArray &payload)
{
    const int n = std::min(size, int(payload.size()));
    if (n > 0)
        std::memcpy(buffer, payload.constData(), size_t(n));
    if (size > n)
        std::memset(buffer + n, 0, size_t(size - n));
}

} // namespace

AntLibrary::AntLibrary(StickProvider &provider, QObject *parent)
    : QObject(parent), m_provider(provider), m_frameTimer(this)
{
    m_frameTimer.setSingleShot(true);
    // A coarse timer may fire early, cutting a frame short of its bound.
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, &AntLibrary::onFrameTimer);
}

AntLibrary::~AntLibrary()
{
    if (m_transport) {
        m_transport->disconnect(this);
        m_transport->close();
        m_transport.reset();
    }
}

int AntLibrary::ANT_Init(uint8_t usbDeviceNumber, uint16_t baudrate, uint8_t, uint8_t)
{
    release();
    auto [transport, why] = m_provider.openStick(usbDeviceNumber, baudrate);
    if (usbDeviceNumber == 0)
        m_toldThisStart.clear();
    if (!transport || !transport->isOpen()) {
        const QString reason = why.isEmpty() ? QStringLiteral("unknown reason") : why;
        if (!m_toldThisStart.contains(reason)) {
            m_toldThisStart << reason;
            qCWarning(lcAnt).noquote()
                << QStringLiteral("ANT stick %1 not opened: %2").arg(usbDeviceNumber).arg(reason);
        }
        return 0;
    }
    m_transport = std::move(transport);
    m_decoder.reset();
    connect(m_transport.get(), &Transport::bytesArrived, this, &AntLibrary::onBytes);
    connect(m_transport.get(), &Transport::gone, this, &AntLibrary::onGone);
    return 1;
}

void AntLibrary::ANT_AssignResponseFunction(ResponseFunction callback, uint8_t *buffer)
{
    m_responseCallback = std::move(callback);
    m_responseBuffer = buffer;
}

void AntLibrary::ANT_AssignChannelEventFunction(uint8_t channel, ChannelEventFunction callback,
                                                uint8_t *buffer, int lastIndex)
{
    m_eventChannel = channel;
    m_eventCallback = std::move(callback);
    m_eventBuffer = buffer;
    m_eventBufferSize = buffer ? std::max(0, lastIndex + 1) : 0;
}

bool AntLibrary::ANT_ResetSystem()
{
    return send(resetSystem());
}

bool AntLibrary::ANT_SetNetworkKey(uint8_t networkNumber, const uint8_t *key, uint8_t)
{
    if (!key)
        return false;
    return send(setNetworkKey(networkNumber, key));
}

bool AntLibrary::ANT_AssignChannel(uint8_t channel, uint8_t channelType, uint8_t networkNumber)
{
    return send(assignChannel(channel, channelType, networkNumber));
}

bool AntLibrary::ANT_SetChannelId(uint8_t channel, uint16_t deviceNumber, uint8_t deviceType,
                                  uint8_t transmissionType)
{
    return send(setChannelId(channel, deviceNumber, deviceType, transmissionType));
}

bool AntLibrary::ANT_SetChannelPeriod(uint8_t channel, uint16_t period)
{
    return send(setChannelPeriod(channel, period));
}

bool AntLibrary::ANT_SetProximitySearch(uint8_t channel, uint8_t threshold)
{
    return send(setProximitySearch(channel, threshold));
}

bool AntLibrary::ANT_SetChannelSearchTimeout(uint8_t channel, uint8_t timeout)
{
    return send(setSearchTimeout(channel, timeout));
}

bool AntLibrary::ANT_SetChannelRFFreq(uint8_t channel, uint8_t rfFrequency)
{
    return send(setRfFrequency(channel, rfFrequency));
}

bool AntLibrary::ANT_OpenChannel(uint8_t channel)
{
    return send(openChannel(channel));
}

bool AntLibrary::ANT_RequestMessage(uint8_t channel, uint8_t messageId)
{
    return send(requestMessage(channel, messageId));
}

void AntLibrary::ANT_Close()
{
    release();
}

bool AntLibrary::isOpen() const
{
    return m_transport && m_transport->isOpen();
}

bool AntLibrary::send(uint8_t id, const QByteArray &payload)
{
    if (!isOpen())
        return false;
    return m_transport->write(encodeFrame(id, payload));
}

bool AntLibrary::send(const AntMessage &message)
{
    return send(message.id, message.payload);
}

void AntLibrary::onBytes(const QByteArray &bytes)
{
    const QList<AntMessage> messages = m_decoder.feed(bytes);
    // A stick that sends bytes which make no frame would otherwise cost a
    // wakeup for each byte.
    if (messages.isEmpty())
        m_transport->holdReads(kJunkHold);
    // An unfinished frame has the bound from its latest byte on.
    m_frameTimerPassedOnce = false;
    if (m_decoder.pendingBytes() > 0)
        m_frameTimer.start(kFrameBound);
    else
        m_frameTimer.stop();
    dispatchAll(messages);
}

void AntLibrary::onFrameTimer()
{
    // A thread held up past the bound (the 600 ms wait after a reset) may find
    // the frame's rest waiting to be read as the timer fires, and the event
    // loop may run timers before socket notifiers in the same pass: the rest
    // gets that one more pass of the loop before the frame is given up.
    if (!m_frameTimerPassedOnce) {
        m_frameTimerPassedOnce = true;
        m_frameTimer.start(std::chrono::milliseconds(1));
        return;
    }
    frameBoundPassed();
}

void AntLibrary::frameBoundPassed()
{
    m_frameTimer.stop();
    m_frameTimerPassedOnce = false;
    dispatchAll(m_decoder.expire());
}

void AntLibrary::dispatchAll(const QList<AntMessage> &messages)
{
    const quint64 generation = m_generation;
    for (const AntMessage &message : messages) {
        // A callback may have closed the stick or opened another one: what is
        // left of this batch belongs to a stick we no longer hold.
        if (generation != m_generation)
            return;
        dispatch(message);
    }
}

void AntLibrary::onGone(const QString &reason)
{
    const QString name = m_transport ? m_transport->description() : QString();
    qCWarning(lcAnt).noquote() << QStringLiteral("ANT stick %1 went away: %2").arg(name, reason);
    release();
    emit stickGone(reason);
}

void AntLibrary::dispatch(const AntMessage &message)
{
    const QByteArray &payload = message.payload;
    // A message shorter than its ID needs would reach a handler with zeros
    // where its fields belong: a two-byte channel ID reads as a device number,
    // a short response as "no error". It goes no further.
    const PayloadLengths lengths = payloadLengths(message.id);
    if (payload.size() < lengths.min) {
        qCWarning(lcAnt).noquote()
            << QStringLiteral("ANT message 0x%1 dropped: %2 payload byte(s), its ID needs %3")
                   .arg(message.id, 2, 16, QLatin1Char('0'))
                   .arg(payload.size())
                   .arg(lengths.min);
        return;
    }
    const uint8_t first = payload.isEmpty() ? 0 : uint8_t(payload.at(0));

    switch (message.id) {
    case kMsgBroadcastData:
    case kMsgAcknowledgedData:
    case kMsgBurstData: {
        // Bits 5-7 of a burst's first byte carry its sequence, not the channel.
        const uint8_t channel = message.id == kMsgBurstData ? uint8_t(first & 0x1F) : first;
        const uint8_t code = message.id == kMsgBroadcastData      ? kEventBroadcast
                             : message.id == kMsgAcknowledgedData ? kEventAcknowledged
                                                                  : kEventBurst;
        toChannelEvent(channel, code, payload);
        return;
    }
    case kMsgChannelResponse:
        if (uint8_t(payload.at(1)) == kMsgIdRfEvent) {
            toChannelEvent(first, uint8_t(payload.at(2)), payload);
            return;
        }
        break;
    default:
        break;
    }

    if (!m_responseCallback)
        return;
    if (m_responseBuffer)
        fill(m_responseBuffer, kResponseBufferSize, payload);
    // A copy: the callback may register another callback, destroying the one
    // that is running.
    const ResponseFunction callback = m_responseCallback;
    callback(carriesChannel(message.id) ? first : 0, message.id);
}

void AntLibrary::toChannelEvent(uint8_t channel, uint8_t code, const QByteArray &payload)
{
    if (!m_eventCallback || channel != m_eventChannel)
        return;
    if (m_eventBuffer)
        fill(m_eventBuffer, m_eventBufferSize, payload);
    const ChannelEventFunction callback = m_eventCallback;
    callback(channel, code);
}

void AntLibrary::release()
{
    ++m_generation;
    m_frameTimer.stop();
    if (!m_transport)
        return;
    m_decoder.reset();
    Transport *transport = m_transport.release();
    transport->disconnect(this);
    transport->close();
    // We may be inside one of its signals (a callback closing the stick).
    transport->deleteLater();
}

} // namespace pulvane::ant
