// A scripted ANT stick on an in-test transport, for tests that drive the
// finder through the real AntLibrary. Everything crosses the link as frames
// through the real codec: what the host writes is decoded and recorded, and
// what the stick says is encoded and delivered.
//
// Conversation: expect(command, replies) queues one exchange; when the host
// writes that command next, the replies follow. Commands outside the script
// are recorded as unexpected and, if a responder is set, answered by it.
// push() delivers a message on the stick's own initiative (data, events,
// channel IDs). Deliveries are queued, as from a real reader, and reach the
// host when the event loop runs: settle() runs it until nothing is left.
// Each open gets a link of its own (ScriptedTransport); tests of AntLibrary
// itself speak through one link synchronously (say(), unplug()).
//
// The ANT+ network key crosses this link too: describe() masks it, so a
// failing comparison never prints it.
#pragma once

#include "antframe.h"
#include "antmessages.h"
#include "stickprovider.h"
#include "transport.h"

#include <QCoreApplication>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <functional>
#include <memory>

namespace pulvane::test {

using ant::AntMessage;

class ScriptedStick;

class ScriptedTransport : public ant::Transport
{
public:
    explicit ScriptedTransport(ScriptedStick *stick) : m_stick(stick) {}
    ~ScriptedTransport() override;

    bool write(const QByteArray &bytes) override;
    bool isOpen() const override { return m_open; }
    void close() override { m_open = false; }
    QString description() const override { return QStringLiteral("scripted stick"); }
    // Bytes are handed over as the test says; the host's asks to wait counted.
    void holdReads(std::chrono::milliseconds) override { ++holds; }
    int holds = 0;

    // Queued, as from a reader (see ScriptedStick::settle()).
    void deliver(const QByteArray &bytes);
    void detach() { m_stick = nullptr; }

    // Handed to the host at once, inside this call.
    void say(const AntMessage &message) { emit bytesArrived(ant::encodeFrame(message)); }
    void sayAll(const QList<AntMessage> &messages)
    {
        QByteArray bytes;
        for (const AntMessage &m : messages)
            bytes += ant::encodeFrame(m);
        emit bytesArrived(bytes);
    }
    void sayBytes(const QByteArray &bytes) { emit bytesArrived(bytes); }
    void unplug(const QString &reason = QStringLiteral("unplugged")) { emit gone(reason); }
    // What the host wrote on this link, decoded.
    const QList<AntMessage> &written() const { return m_written; }

private:
    ScriptedStick *m_stick;
    bool m_open = true;
    int m_outstanding = 0;
    ant::FrameDecoder m_decoder;
    QList<AntMessage> m_written;
};

class ScriptedStick
{
public:
    using Responder = std::function<QList<AntMessage>(const AntMessage &command)>;

    ~ScriptedStick()
    {
        for (const QPointer<ScriptedTransport> &t : std::as_const(m_transports))
            if (t)
                t->detach();
    }

    void expect(const AntMessage &command, const QList<AntMessage> &replies = {})
    {
        m_script.append({command, replies});
    }
    void setResponder(Responder responder) { m_responder = std::move(responder); }

    // Sends a message on the stick's own initiative.
    void push(const AntMessage &message) { pushBytes(ant::encodeFrame(message)); }
    void pushBytes(const QByteArray &bytes)
    {
        if (ScriptedTransport *t = current())
            t->deliver(bytes);
    }

    // The stick is unplugged: its link reports it gone, and it cannot be
    // opened again until plugIn().
    void vanish(const QString &reason = QStringLiteral("device unplugged"))
    {
        m_present = false;
        if (ScriptedTransport *t = current()) {
            t->close();
            emit t->gone(reason);
        }
    }
    void plugIn() { m_present = true; }
    bool present() const { return m_present; }

    // Runs the event loop until every queued delivery has reached the host,
    // including replies to commands written meanwhile.
    void settle()
    {
        for (int round = 0; round < 10000 && m_pending > 0; ++round)
            QCoreApplication::processEvents();
    }

    bool scriptDone() const { return m_script.isEmpty(); }
    const QList<AntMessage> &written() const { return m_written; }
    const QList<AntMessage> &unexpected() const { return m_unexpected; }
    // Every frame written, exact bytes, in order.
    QByteArray writtenBytes() const
    {
        QByteArray bytes;
        for (const AntMessage &m : m_written)
            bytes += ant::encodeFrame(m);
        return bytes;
    }
    // The written frames as "A4 01 4A 00 EF", the key masked.
    QStringList writtenFrames() const
    {
        QStringList frames;
        for (const AntMessage &m : m_written)
            frames << describe(m);
        return frames;
    }
    void clearRecord()
    {
        m_written.clear();
        m_unexpected.clear();
    }
    bool isAttached() const { return current() != nullptr; }
    int opens() const { return int(m_transports.size()); }
    // The link of the i-th open (null once the host has deleted it).
    ScriptedTransport *link(int i) const { return m_transports.at(i); }
    ScriptedTransport *lastLink() const
    {
        return m_transports.isEmpty() ? nullptr : m_transports.last().data();
    }

    static QString describe(const AntMessage &m)
    {
        if (m.id == ant::kMsgSetNetworkKey)
            return QStringLiteral("A4 %1 46 %2 XX XX XX XX XX XX XX XX XX")
                .arg(m.payload.size(), 2, 16, QLatin1Char('0'))
                .arg(m.payload.isEmpty() ? 0 : uint8_t(m.payload.at(0)), 2, 16, QLatin1Char('0'))
                .toUpper();
        return QString::fromLatin1(ant::encodeFrame(m).toHex(' ').toUpper());
    }

    std::unique_ptr<ant::Transport> attach()
    {
        auto transport = std::make_unique<ScriptedTransport>(this);
        m_transports.append(transport.get());
        return transport;
    }

private:
    friend class ScriptedTransport;

    struct Exchange
    {
        AntMessage command;
        QList<AntMessage> replies;
    };

    ScriptedTransport *current() const
    {
        if (m_transports.isEmpty())
            return nullptr;
        ScriptedTransport *t = m_transports.last();
        return t && t->isOpen() ? t : nullptr;
    }

    void received(ScriptedTransport *from, const QByteArray &bytes)
    {
        for (const AntMessage &m : m_decoder.feed(bytes)) {
            m_written.append(m);
            QList<AntMessage> replies;
            if (!m_script.isEmpty() && m_script.first().command == m) {
                replies = m_script.takeFirst().replies;
            } else {
                m_unexpected.append(m);
                if (m_responder)
                    replies = m_responder(m);
            }
            for (const AntMessage &reply : std::as_const(replies))
                from->deliver(ant::encodeFrame(reply));
        }
    }

    QList<Exchange> m_script;
    Responder m_responder;
    ant::FrameDecoder m_decoder;
    QList<AntMessage> m_written;
    QList<AntMessage> m_unexpected;
    QList<QPointer<ScriptedTransport>> m_transports;
    bool m_present = true;
    int m_pending = 0;
};

inline ScriptedTransport::~ScriptedTransport()
{
    if (m_stick)
        m_stick->m_pending -= m_outstanding;
}

inline bool ScriptedTransport::write(const QByteArray &bytes)
{
    if (!m_open || !m_stick)
        return false;
    m_written += m_decoder.feed(bytes);
    m_stick->received(this, bytes);
    return true;
}

inline void ScriptedTransport::deliver(const QByteArray &bytes)
{
    if (!m_stick)
        return;
    ++m_outstanding;
    ++m_stick->m_pending;
    QMetaObject::invokeMethod(
        this,
        [this, bytes] {
            --m_outstanding;
            if (m_stick)
                --m_stick->m_pending;
            if (m_open)
                emit bytesArrived(bytes);
        },
        Qt::QueuedConnection);
}

// The ordered list of sticks as ANT_Init sees it, with one scripted stick
// answering at every index that is not refused.
class ScriptedStickProvider : public ant::StickProvider
{
public:
    // Indexes whose ANT_Init fails, as if nothing were plugged in there.
    QSet<int> refused;
    // Every index ANT_Init asked for, in order.
    QList<int> attempts;
    QList<int> baudrates;

    ScriptedStick &stick() { return m_stick; }

    ant::OpenedStick openStick(int index, int baudrate) override
    {
        attempts.append(index);
        baudrates.append(baudrate);
        if (refused.contains(index) || !m_stick.present())
            return {nullptr, QStringLiteral("no scripted stick at %1").arg(index)};
        return {m_stick.attach(), {}};
    }

private:
    ScriptedStick m_stick;
};

// A responder that acknowledges every configuration command with code 0, as a
// stick that accepts everything does.
inline QList<AntMessage> acknowledgeEverything(const AntMessage &command)
{
    if (command.id == ant::kMsgResetSystem)
        return {ant::startup(ant::kStartupCommandReset)};
    if (command.id == ant::kMsgRequestMessage || command.payload.isEmpty())
        return {};
    return {ant::channelResponse(uint8_t(command.payload.at(0)), command.id, 0)};
}

} // namespace pulvane::test
