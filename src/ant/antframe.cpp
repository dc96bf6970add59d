#include "antframe.h"

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

enum class Verdict
{
    Take,
    Wait,
    Drop
};

// What becomes of the bytes from the sync byte at `pos` on.
Verdict judgeFrameAt(const QByteArray &bytes, qsizetype pos)
{
    const qsizetype available = bytes.size() - pos;
    if (available < 2)
        return Verdict::Wait;
    const int length = uint8_t(bytes.at(pos + 1));
    if (length > kMaxPayload)
        return Verdict::Drop;
    if (available < 3)
        return Verdict::Wait;
    if (length > payloadLengths(uint8_t(bytes.at(pos + 2))).max)
        return Verdict::Drop;
    // A whole frame whose checksum holds is taken as it is, whatever its bytes
    // hold. One not yet whole that holds a whole frame of ours was begun by a
    // junk sync byte: waiting for its rest would hold back the real frame
    // inside, after which the stick may send nothing until it is answered.
    const qsizetype frameSize = length + 4;
    if (available >= frameSize)
        return xorOf(bytes, pos, frameSize) == 0 ? Verdict::Take : Verdict::Drop;
    return holdsKnownFrame(bytes, pos + 1, bytes.size()) ? Verdict::Drop : Verdict::Wait;
}

} // namespace

QList<AntMessage> FrameDecoder::feed(const QByteArray &bytes)
{
    m_buffer.append(bytes);
    QList<AntMessage> messages;
    // Consumed bytes are counted in `pos` and cut off once at the end, so a
    // long run of junk costs one pass rather than one copy per byte.
    qsizetype pos = 0;
    while (pos < m_buffer.size()) {
        const Verdict verdict =
            m_buffer.at(pos) == char(kSync) ? judgeFrameAt(m_buffer, pos) : Verdict::Drop;
        if (verdict == Verdict::Wait)
            break;
        if (verdict == Verdict::Drop) {
            ++pos;
            ++m_dropped;
            continue;
        }
        const int length = uint8_t(m_buffer.at(pos + 1));
        messages.append(AntMessage{uint8_t(m_buffer.at(pos + 2)), m_buffer.mid(pos + 3, length)});
        pos += length + 4;
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
