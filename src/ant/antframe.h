// The ANT serial frame: A4 len id payload[len] checksum.
// Pure functions and a streaming decoder; no I/O here.
#pragma once

#include "antmessages.h"

#include <QByteArray>
#include <QList>
#include <chrono>
#include <cstdint>

namespace pulvane::ant {

inline constexpr uint8_t kSync = 0xA4;

// How long a frame not yet whole waits for its next byte: long enough for the
// largest frame on the slowest line behind a USB serial bridge's latency timer,
// and all that junk before an answer can cost the answer.
inline constexpr std::chrono::milliseconds kFrameBound{50};
// After a read that completed no frame (junk, or the start of a frame) the
// link waits this long before it reads again: at 115200 baud a whole frame's
// time, well inside kFrameBound.
inline constexpr std::chrono::milliseconds kJunkHold{4};

// The whole frame for a message, checksum included.
QByteArray encodeFrame(uint8_t id, const QByteArray &payload);
inline QByteArray encodeFrame(const AntMessage &m)
{
    return encodeFrame(m.id, m.payload);
}

// Takes bytes in any split and yields whole, checksum-verified messages in
// order. Junk before a sync byte is skipped. What becomes of a frame is
// decided by its own bytes, never by where a read ends: a whole frame with a
// valid checksum and a length its message ID can have (payloadLengths().max)
// is taken, whatever its bytes hold (a broadcast may carry a whole frame of
// ours in its data); one with a bad checksum or such a length costs one byte,
// and the search for a sync byte resumes at the next byte. A frame not yet
// whole waits for the rest. Once kFrameBound has passed since the last byte,
// the caller says so (expire()): the frame still not whole is given up the
// same way, so a junk sync byte holds back a real frame after it (the stick's
// answer, which it may wait for before it sends anything else) by no more
// than the bound. The same bytes therefore give the same messages in any
// split into reads less than the bound apart. Lengths below a message's
// minimum are let through: the receiver decides what to do with a short
// message.
class FrameDecoder
{
public:
    // Appends bytes and returns every message completed by them.
    QList<AntMessage> feed(const QByteArray &bytes);
    // kFrameBound has passed since the last byte fed: gives up every frame
    // not yet whole, each as a bad frame, and returns the whole frames found
    // in the bytes held. Nothing is pending afterwards.
    QList<AntMessage> expire();
    // Bytes held while waiting for the rest of a frame.
    int pendingBytes() const { return int(m_buffer.size()); }
    // Bytes thrown away since construction (junk, bad frames, frames given up).
    qint64 droppedBytes() const { return m_dropped; }
    void reset();

private:
    QList<AntMessage> decode(bool boundPassed);

    QByteArray m_buffer;
    qint64 m_dropped = 0;
};

} // namespace pulvane::ant
