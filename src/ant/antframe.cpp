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
        const qsizetype frameSize = length + 4;
        if (size - pos < frameSize)
            break;
        uint8_t checksum = 0;
        for (qsizetype i = 0; i < frameSize; ++i)
            checksum ^= byteAt(pos + i);
        if (checksum != 0) {
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
