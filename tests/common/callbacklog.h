// What the ANT link's two callbacks saw, and frames cut where a test wants
// them, for tests that drive the whole link over a stick.
#pragma once

#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"

#include <QList>
#include <QStringList>

#include <array>

namespace pulvane::test {

using ant::AntLibrary;
using ant::AntMessage;
using ant::kResponseBufferSize;

// The frames of messages, back to back.
inline QByteArray frames(const QList<AntMessage> &messages)
{
    QByteArray bytes;
    for (const AntMessage &m : messages)
        bytes += ant::encodeFrame(m);
    return bytes;
}

// bytes cut before each of the offsets in cuts.
inline QList<QByteArray> cutAt(const QByteArray &bytes, const QList<int> &cuts)
{
    QList<QByteArray> parts;
    int from = 0;
    for (int cut : cuts) {
        parts << bytes.mid(from, cut - from);
        from = cut;
    }
    parts << bytes.mid(from);
    return parts;
}

// What the callbacks saw, one entry per call: kind, ID or code, and the
// buffer's bytes for the message's length.
struct CallbackLog
{
    std::array<uint8_t, kResponseBufferSize> response{};
    std::array<uint8_t, 9> event{};
    QStringList calls;

    void attach(AntLibrary &library)
    {
        library.ANT_AssignResponseFunction(
            [this](uint8_t channel, uint8_t id) {
                calls << QStringLiteral("R %1 %2 ").arg(channel).arg(id, 2, 16, QLatin1Char('0'));
                return true;
            },
            response.data());
        library.ANT_AssignChannelEventFunction(
            0,
            [this](uint8_t channel, uint8_t code) {
                calls << QStringLiteral("E %1 %2 %3")
                             .arg(channel)
                             .arg(code, 2, 16, QLatin1Char('0'))
                             .arg(QString::fromLatin1(
                                 QByteArray(reinterpret_cast<const char *>(event.data()), 9)
                                     .toHex()));
                return true;
            },
            event.data(), 8);
    }
};

} // namespace pulvane::test
