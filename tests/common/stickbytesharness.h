// Arbitrary bytes from a stick, run through the frame decoder and through
// AntLibrary's dispatch. Shared by the fuzz target (fuzz/fuzz_decoder.cpp)
// and the replay of the inputs that once broke them (tst_fuzzregressions).
//
// replayStickBytes() returns an empty string when every check held, else what
// broke. Memory faults are for the sanitizers to catch: the callback buffers
// are heap blocks of exactly the registered size and every callback reads its
// buffer whole. Needs a QCoreApplication; runs on its thread.
#pragma once

#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"
#include "scriptedstick.h"

#include <QCoreApplication>
#include <QEvent>
#include <QList>
#include <QPointer>
#include <QString>
#include <algorithm>
#include <memory>
#include <vector>

namespace pulvane::test {

// Chunks whose sizes come from the bytes themselves: the chunk starting at p
// is 1 + bytes[p] % 23 long, so frames end up cut in every place.
inline QList<QByteArray> splitByContent(const QByteArray &bytes)
{
    QList<QByteArray> chunks;
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const qsizetype length = 1 + uint8_t(bytes.at(pos)) % 23;
        chunks.append(bytes.mid(pos, length));
        pos += length;
    }
    return chunks;
}

namespace detail {

// Deletes the transports released with deleteLater(). The second call only
// compacts Qt's posted-event list, which a call for one event type leaves
// growing: without it every run costs more than the one before.
inline void deleteReleased()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::sendPostedEvents();
}

// The link of the stick's latest open while the library holds it.
inline ScriptedTransport *openLink(ScriptedStickProvider &provider)
{
    ScriptedTransport *link = provider.stick().lastLink();
    return link && link->isOpen() ? link : nullptr;
}

// The size of the whole frame at `pos` that FrameDecoder must take, else 0.
inline qsizetype validFrameAt(const QByteArray &bytes, qsizetype pos)
{
    const int length = pos + 1 < bytes.size() ? uint8_t(bytes.at(pos + 1)) : 0;
    const QByteArray frame = bytes.mid(pos, length + 4);
    if (frame.size() != length + 4 || length > ant::payloadLengths(uint8_t(frame.at(2))).max)
        return 0;
    return ant::encodeFrame(uint8_t(frame.at(2)), frame.mid(3, length)) == frame ? frame.size() : 0;
}

// No valid frame is dropped, none invented: each message taken is the first
// valid frame after the one before, but for frames the bound passed inside.
inline QString checkNoValidFrameDropped(const QByteArray &bytes,
                                        const QList<ant::AntMessage> &taken,
                                        const QList<qsizetype> &boundPassedAt = {})
{
    qsizetype next = 0;
    for (qsizetype pos = 0; pos < bytes.size(); ++pos) {
        const qsizetype size = validFrameAt(bytes, pos);
        if (!size || std::any_of(boundPassedAt.begin(), boundPassedAt.end(),
                                 [&](qsizetype at) { return at > pos && at < pos + size; }))
            continue;
        if (next == taken.size() || bytes.mid(pos, size) != ant::encodeFrame(taken.at(next)))
            return QStringLiteral("decoder: the valid frame at byte %1 was dropped").arg(pos);
        pos += size - 1;
        ++next;
    }
    return next == taken.size() ? QString() : QStringLiteral("decoder: a message from nowhere");
}

inline QString checkDecoder(const QByteArray &bytes)
{
    ant::FrameDecoder whole;
    QList<ant::AntMessage> all = whole.feed(bytes);

    // A byte at a time, each less than the bound after the one before: a frame
    // is decided by its own bytes, so all is as when they came at once.
    ant::FrameDecoder single;
    QList<ant::AntMessage> oneByOne;
    for (char c : bytes)
        oneByOne += single.feed(QByteArray(1, c));
    if (oneByOne != all || single.pendingBytes() != whole.pendingBytes() ||
        single.droppedBytes() != whole.droppedBytes())
        return QStringLiteral("decoder: bytes a read apart decode otherwise");
    all += whole.expire();

    // In reads, the bound passing after some of them.
    ant::FrameDecoder pieces;
    QList<ant::AntMessage> split;
    QList<qsizetype> boundPassedAt;
    qsizetype end = 0;
    for (const QByteArray &chunk : splitByContent(bytes)) {
        split += pieces.feed(chunk);
        end += chunk.size();
        if (uint8_t(chunk.at(0)) % 3 == 0) {
            split += pieces.expire();
            boundPassedAt << end;
        }
    }
    split += pieces.expire();
    for (const QString &failure : {checkNoValidFrameDropped(bytes, all),
                                   checkNoValidFrameDropped(bytes, split, boundPassedAt)})
        if (!failure.isEmpty())
            return failure;

    qint64 accounted = whole.droppedBytes();
    for (const ant::AntMessage &m : all) {
        if (m.payload.size() > ant::payloadLengths(m.id).max)
            return QStringLiteral("decoder: message 0x%1 with a payload of %2 bytes")
                .arg(m.id, 2, 16, QLatin1Char('0'))
                .arg(m.payload.size());
        const QByteArray frame = ant::encodeFrame(m);
        accounted += frame.size();
        ant::FrameDecoder again;
        const QList<ant::AntMessage> back = again.feed(frame);
        if (back.size() != 1 || back.first() != m)
            return QStringLiteral("decoder: message 0x%1 does not survive a round trip")
                .arg(m.id, 2, 16, QLatin1Char('0'));
    }
    if (accounted != bytes.size())
        return QStringLiteral("decoder: %1 bytes in, %2 accounted for")
            .arg(bytes.size())
            .arg(accounted);

    // Whatever came before, a stick's answer that arrives whole comes out once
    // the bound has passed, unless it ends a valid frame begun before it.
    const QByteArray answer =
        ant::encodeFrame(ant::channelResponse(0, ant::kMsgSetNetworkKey, ant::kResponseNoError));
    QList<ant::AntMessage> answered = whole.feed(bytes + answer);
    answered += whole.expire();
    return checkNoValidFrameDropped(bytes + answer, answered);
}

inline int readAll(const std::vector<uint8_t> &buffer)
{
    int sum = 0;
    for (uint8_t b : buffer)
        sum += b;
    return sum;
}

inline QString checkDispatch(const QByteArray &bytes)
{
    constexpr uint8_t kChannel = 0;
    // The finder registers nine bytes; other sizes exercise the copy's edges.
    const int lastIndex = bytes.isEmpty() ? 8 : uint8_t(bytes.at(0)) % 16;

    ScriptedStickProvider provider;
    QString failure;
    volatile int sink = 0;
    {
        ant::AntLibrary library(provider);
        std::vector<uint8_t> responseBuffer(ant::kResponseBufferSize);
        std::vector<uint8_t> eventBuffer(size_t(lastIndex + 1));

        // The callbacks do what the finder does in them (send commands, close
        // the stick, open it again, register new callbacks), chosen by the
        // message, so the dispatch loop meets all of it mid-batch.
        ant::ChannelEventFunction onEvent;
        ant::ResponseFunction onResponse = [&](uint8_t, uint8_t messageId) {
            sink = sink + readAll(responseBuffer);
            switch (messageId) {
            case ant::kMsgStartup:
                library.ANT_Init(0, 57600);
                break;
            case ant::kMsgSerialError:
                library.ANT_Close();
                break;
            case ant::kMsgChannelId:
                library.ANT_AssignResponseFunction(onResponse, responseBuffer.data());
                break;
            default:
                library.ANT_RequestMessage(kChannel, ant::kMsgChannelId);
                break;
            }
            return true;
        };
        onEvent = [&](uint8_t channel, uint8_t code) {
            sink = sink + readAll(eventBuffer);
            if (channel != kChannel && failure.isEmpty())
                failure = QStringLiteral("dispatch: event for channel %1").arg(channel);
            const uint8_t first = eventBuffer[0];
            const bool data = code == ant::kEventBroadcast || code == ant::kEventAcknowledged ||
                              code == ant::kEventBurst;
            const uint8_t shownChannel = code == ant::kEventBurst ? (first & 0x1F) : first;
            if (data && shownChannel != channel && failure.isEmpty())
                failure = QStringLiteral("dispatch: buffer of event 0x%1 starts with %2")
                              .arg(code, 2, 16, QLatin1Char('0'))
                              .arg(first);
            switch (code) {
            case ant::kEventChannelClosed:
                library.ANT_Close();
                break;
            case ant::kEventRxFailGoToSearch:
                library.ANT_AssignChannelEventFunction(kChannel, onEvent, eventBuffer.data(),
                                                       lastIndex);
                break;
            case ant::kEventRxSearchTimeout:
                library.ANT_Init(0, 57600);
                break;
            default:
                library.ANT_RequestMessage(kChannel, ant::kMsgChannelId);
                break;
            }
            return true;
        };

        if (library.ANT_Init(0, 57600) != 1)
            return QStringLiteral("dispatch: the replayed stick did not open");
        library.ANT_AssignResponseFunction(onResponse, responseBuffer.data());
        library.ANT_AssignChannelEventFunction(kChannel, onEvent, eventBuffer.data(), lastIndex);

        for (const QByteArray &chunk : splitByContent(bytes)) {
            if (ScriptedTransport *link = openLink(provider))
                link->sayBytes(chunk);
            // As the library's timer would, when the line pauses here.
            if (uint8_t(chunk.at(0)) % 3 == 1)
                library.frameBoundPassed();
            deleteReleased();
        }
        if (ScriptedTransport *link = openLink(provider); bytes.size() % 2 == 1 && link)
            link->unplug();
        deleteReleased();
    }
    deleteReleased();
    return failure;
}

} // namespace detail

inline QString replayStickBytes(const QByteArray &bytes)
{
    QString failure = detail::checkDecoder(bytes);
    if (failure.isEmpty())
        failure = detail::checkDispatch(bytes);
    return failure;
}

} // namespace pulvane::test
