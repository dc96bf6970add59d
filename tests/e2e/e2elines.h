// Reading back what an end-to-end run left: the window's broadcast lines and
// antsim's own "word key=value ..." lines.
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

// antsim's output: "word key=value ..." lines.
struct SimOutput
{
    QStringList lines;

    QStringList withWord(const QString &word) const
    {
        return lines.filter(QRegularExpression(QStringLiteral("^%1( |$)").arg(word)));
    }
    // The value of key in the first line starting with word, or -1.
    double value(const QString &word, const QString &key) const
    {
        const QStringList found = withWord(word);
        if (found.isEmpty())
            return -1;
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral(" %1=([0-9.]+)").arg(key)).match(found.first());
        return m.hasMatch() ? m.captured(1).toDouble() : -1;
    }
};

} // namespace pulvane::test
