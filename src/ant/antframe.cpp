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

enum class Verdict
{
    Take,
    Wait,
    Drop
};

// What becomes of the bytes from the sync byte at `pos` on, judged by that
// frame's own bytes alone: Wait only while some of them have not arrived.
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
    const qsizetype frameSize = length + 4;
    if (available < frameSize)
        return Verdict::Wait;
    return xorOf(bytes, pos, frameSize) == 0 ? Verdict::Take : Verdict::Drop;
}

} // namespace

QList<AntMessage> FrameDecoder::feed(const QByteArray &bytes)
{
    m_buffer.append(bytes);
    return decode(false);
}

QList<AntMessage> FrameDecoder::expire()
{
    return decode(true);
}

QList<AntMessage> FrameDecoder::decode(bool boundPassed)
{
    QList<AntMessage> messages;
    // Consumed bytes are counted in `pos` and cut off once at the end, so a
    // long run of junk costs one pass rather than one copy per byte.
    qsizetype pos = 0;
    while (pos < m_buffer.size()) {
        Verdict verdict =
            m_buffer.at(pos) == char(kSync) ? judgeFrameAt(m_buffer, pos) : Verdict::Drop;
        // Every frame not yet whole has waited the bound since the last byte.
        if (verdict == Verdict::Wait && boundPassed)
            verdict = Verdict::Drop;
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
