// The ANT serial frame: A4 len id payload[len] checksum.
// Pure functions and a streaming decoder; no I/O here.
#pragma once

#include "antmessages.h"

#include <QByteArray>
#include <QList>
#include <cstdint>

namespace pulvane::ant {

inline constexpr uint8_t kSync = 0xA4;

// The whole frame for a message, checksum included.
QByteArray encodeFrame(uint8_t id, const QByteArray &payload);
inline QByteArray encodeFrame(const AntMessage &m)
{
    return encodeFrame(m.id, m.payload);
}

// Takes bytes in any split and yields whole, checksum-verified messages in
// order. Junk before a sync byte is skipped. A whole frame with a valid
// checksum and a length its message ID can have (payloadLengths().max) is
// always taken, whatever its bytes hold. A frame with a bad checksum or such
// a length, or one not yet whole that already holds a whole, valid frame of
// a known message, costs one byte and the search for a sync byte resumes: so
// a junk sync byte never holds back a frame after it, at the price of a frame
// whose read ends just after such an inner frame. Lengths below a message's
// minimum are let through: the receiver decides what to do with a short
// message.
class FrameDecoder
{
public:
    // Appends bytes and returns every message completed by them.
    QList<AntMessage> feed(const QByteArray &bytes);
    // Bytes held while waiting for the rest of a frame.
    int pendingBytes() const { return int(m_buffer.size()); }
    // Bytes thrown away since construction (junk, bad frames).
    qint64 droppedBytes() const { return m_dropped; }
    void reset();

private:
    QByteArray m_buffer;
    qint64 m_dropped = 0;
};

} // namespace pulvane::ant
