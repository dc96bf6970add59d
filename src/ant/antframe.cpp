#include "antframe.h"

#include <algorithm>

namespace pulvane::ant {

QByteArray encodeFrame(uint8_t id, const QByteArray &payload)
{
    QByteArray frame;
    frame.reserve(payload.size() + 4);
    frame.append(char(kSync));
    frame.append(char(uint8_t(payload.size())));
    frame.append(char(id));
    frame.append(payload);
    uint8_t checksum = 0;
    for (char c : std::as_const(frame))
        checksum ^= uint8_t(c);
    frame.append(char(checksum));
    return frame;
}

namespace {

uint8_t xorOf(const QByteArray &bytes, qsizetype from, qsizetype size)
{
    uint8_t checksum = 0;
    for (qsizetype i = from; i < from + size; ++i)
        checksum ^= uint8_t(bytes.at(i));
    return checksum;
}

// Whether a whole, checksum-valid frame of a message we know, with a length
// that message can have, lies in bytes [from, end).
bool holdsKnownFrame(const QByteArray &bytes, qsizetype from, qsizetype end)
{
    for (qsizetype i = from; i + 4 <= end; ++i) {
        if (uint8_t(bytes.at(i)) != kSync)
            continue;
        const int length = uint8_t(bytes.at(i + 1));
        const PayloadLengths lengths = payloadLengths(uint8_t(bytes.at(i + 2)));
        if (lengths.known && length >= lengths.min && length <= lengths.max &&
            i + length + 4 <= end && xorOf(bytes, i, length + 4) == 0)
            return true;
    }
    return false;
}

} // namespace

QList<AntMessage> FrameDecoder::feed(const QByteArray &bytes)
{
    m_buffer.append(bytes);
    QList<AntMessage> messages;
    // Consumed bytes are counted in `pos` and cut off once at the end, so a
    // long run of junk costs one pass rather than one copy per byte.
    qsizetype pos = 0;
    const qsizetype size = m_buffer.size();
    const auto byteAt = [this](qsizetype i) { return uint8_t(m_buffer.at(i)); };
    while (pos < size) {
        if (byteAt(pos) != kSync) {
            ++pos;
            ++m_dropped;
            continue;
        }
        if (size - pos < 2)
            break;
        const int length = byteAt(pos + 1);
        if (length > kMaxPayload) {
            ++pos;
            ++m_dropped;
            continue;
        }
        if (size - pos < 3)
            break;
        const qsizetype frameSize = length + 4;
        // A length its message cannot have, or a whole frame of ours inside
        // what would be this one, means this sync byte was junk: waiting for
        // the rest would hold back the real frame after it. Both are decided
        // from the frame's own bytes, so the result does not depend on how
        // they arrive.
        if (length > payloadLengths(byteAt(pos + 2)).max ||
            holdsKnownFrame(m_buffer, pos + 1, std::min(pos + frameSize, size))) {
            ++pos;
            ++m_dropped;
            continue;
        }
        if (size - pos < frameSize)
            break;
        if (xorOf(m_buffer, pos, frameSize) != 0) {
            ++pos;
            ++m_dropped;
            continue;
        }
        messages.append(AntMessage{byteAt(pos + 2), m_buffer.mid(pos + 3, length)});
        pos += frameSize;
    }
    m_buffer.remove(0, pos);
    return messages;
}

void FrameDecoder::reset()
{
    m_buffer.clear();
    m_dropped = 0;
}

} // namespace pulvane::ant
