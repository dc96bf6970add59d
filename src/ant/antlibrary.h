// Our ANT interface: the operations the finder uses, named as the host
// libraries name them, over a Transport from a StickProvider.
//
// Every operation returns at once (bytes are queued on the transport); the
// stick's answers come back through the two callbacks. Received messages are
// dispatched on the window's thread, in order, one at a time: the message is
// copied into the registered buffer and then the callback runs. A frame the
// stick leaves unfinished for kFrameBound is given up (FrameDecoder), and what
// followed its sync byte is dispatched then, from a timer of the library's.
//   - broadcast / acknowledged / burst data (0x4E / 0x4F / 0x50) go to the
//     channel-event callback with 0x9A / 0x9B / 0x9C, the buffer holding the
//     channel byte and the eight data bytes;
//   - a channel event (0x40 with message ID 0x01) goes to the channel-event
//     callback with its event code, the buffer holding the message payload;
//   - everything else goes to the response callback with its message ID, the
//     buffer holding the payload.
#pragma once

#include "antframe.h"
#include "stickprovider.h"
#include "transport.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

namespace pulvane::ant {

inline constexpr uint8_t kEventBroadcast = 0x9A;
inline constexpr uint8_t kEventAcknowledged = 0x9B;
inline constexpr uint8_t kEventBurst = 0x9C;

// The response buffer holds the payload of any message a stick can send: the
// length byte of a frame cannot exceed 255.
inline constexpr int kResponseBufferSize = 256;

using ResponseFunction = std::function<bool(uint8_t channel, uint8_t messageId)>;
using ChannelEventFunction = std::function<bool(uint8_t channel, uint8_t eventCode)>;

class AntLibrary : public QObject
{
    Q_OBJECT
public:
    explicit AntLibrary(StickProvider &provider, QObject *parent = nullptr);
    ~AntLibrary() override;

    // Opens the usbDeviceNumber-th stick (releasing one already open).
    // Returns 1 when the stick is open and ready, 0 otherwise. Why a stick
    // could not be opened goes to standard error, each reason once per START
    // (from index 0 on): every index past the list gets the same one.
    int ANT_Init(uint8_t usbDeviceNumber, uint16_t baudrate, uint8_t unused1 = 0,
                 uint8_t unused2 = 0);
    // buffer must hold kResponseBufferSize bytes and outlive the library's use.
    void ANT_AssignResponseFunction(ResponseFunction callback, uint8_t *buffer);
    // buffer must hold lastIndex + 1 bytes (9 for the finder).
    void ANT_AssignChannelEventFunction(uint8_t channel, ChannelEventFunction callback,
                                        uint8_t *buffer, int lastIndex);
    bool ANT_ResetSystem();
    bool ANT_SetNetworkKey(uint8_t networkNumber, const uint8_t *key, uint8_t lastIndex);
    bool ANT_AssignChannel(uint8_t channel, uint8_t channelType, uint8_t networkNumber);
    bool ANT_SetChannelId(uint8_t channel, uint16_t deviceNumber, uint8_t deviceType,
                          uint8_t transmissionType);
    bool ANT_SetChannelPeriod(uint8_t channel, uint16_t period);
    bool ANT_SetProximitySearch(uint8_t channel, uint8_t threshold);
    bool ANT_SetChannelSearchTimeout(uint8_t channel, uint8_t timeout);
    bool ANT_SetChannelRFFreq(uint8_t channel, uint8_t rfFrequency);
    bool ANT_OpenChannel(uint8_t channel);
    bool ANT_RequestMessage(uint8_t channel, uint8_t messageId);
    // Releases the stick; later calls do nothing.
    void ANT_Close();

    bool isOpen() const;

    // The open stick's unfinished frame has waited kFrameBound since the last
    // byte: gives it up and dispatches the messages after its sync byte. Run
    // by the library's own timer; a caller that keeps time itself (the replay
    // of stick bytes in tests) may run it between reads. Does nothing when no
    // frame is unfinished.
    void frameBoundPassed();

signals:
    // The open stick went away (already released; reason for standard error).
    void stickGone(const QString &reason);

private:
    bool send(uint8_t id, const QByteArray &payload);
    bool send(const AntMessage &message);
    void onBytes(const QByteArray &bytes);
    void onGone(const QString &reason);
    void onFrameTimer();
    // Dispatches messages in turn, while the stick they came from is held.
    void dispatchAll(const QList<AntMessage> &messages);
    // Hands one message to the callback its ID and channel call for; drops
    // messages too short for their ID (payloadLengths() in antmessages.h).
    void dispatch(const AntMessage &message);
    // Fills the channel-event buffer and runs the callback, when one is
    // registered for channel.
    void toChannelEvent(uint8_t channel, uint8_t code, const QByteArray &payload);
    // Closes the transport and forgets it; safe while its signal is running.
    void release();

    StickProvider &m_provider;
    std::unique_ptr<Transport> m_transport;
    FrameDecoder m_decoder;
    // Runs while the decoder holds an unfinished frame; restarted by each read.
    QTimer m_frameTimer;
    // The timer has fired once for this frame and was given one more pass.
    bool m_frameTimerPassedOnce = false;
    ResponseFunction m_responseCallback;
    uint8_t *m_responseBuffer = nullptr;
    ChannelEventFunction m_eventCallback;
    uint8_t *m_eventBuffer = nullptr;
    int m_eventBufferSize = 0;
    uint8_t m_eventChannel = 0;
    // Bumped at each release so a dispatch loop notices that a callback
    // released or replaced the stick under it.
    quint64 m_generation = 0;
    // The reasons told since the last ANT_Init(0).
    QStringList m_toldThisStart;
};

} // namespace pulvane::ant
