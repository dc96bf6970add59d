// Reading back the broadcast lines an end-to-end run left in the window's log
// (antsim's own lines: SimOutput in antsimprocess.h).
#pragma once

#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace pulvane::test {

// The broadcast lines from `from` on, each followed by a separator, with
// BroadcastRxCount counting up from 1.
struct Broadcasts
{
    qsizetype end = 0;     // index of the first line after them
    QList<int> heartRates; // their last payload bytes
    QString countError;    // the first count out of step, if any
};

inline Broadcasts readBroadcasts(const QStringList &lines, qsizetype from)
{
    static const QRegularExpression recv(QStringLiteral(
        "^Recv\\(0\\): (?:\\[[0-9A-F]{2}\\]){7}\\[([0-9A-F]{2})\\] RF Freq:57 RxCount:(\\d+)$"));
    Broadcasts found;
    qsizetype i = from;
    while (i + 1 < lines.size() && lines.at(i + 1).isEmpty()) {
        const QRegularExpressionMatch m = recv.match(lines.at(i));
        if (!m.hasMatch())
            break;
        const int count = found.heartRates.size() + 1;
        if (m.captured(2).toInt() != count && found.countError.isEmpty())
            found.countError = QStringLiteral("%1 where %2 was due").arg(lines.at(i)).arg(count);
        found.heartRates.append(m.captured(1).toInt(nullptr, 16));
        i += 2;
    }
    found.end = i;
    return found;
}

} // namespace pulvane::test
