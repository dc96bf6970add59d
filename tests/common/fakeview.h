// A FinderView that records what the finder asks of its window, for tests.
// Starts as the window does after creation: labels "HR:" and "ID:", START
// enabled, STOP and SAVE TO PC disabled, spin value 4, timers stopped.
#pragma once

#include "finderview.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <map>

namespace pulvane::test {

class FakeView : public FinderView
{
public:
    // The EventLog, one entry per line; a separator is an empty string.
    QStringList log;
    QString title;
    std::map<Label, QString> labels{{Label::HeartRate, QStringLiteral("HR:")},
                                    {Label::DeviceNumber, QStringLiteral("ID:")}};
    std::map<Button, bool> buttons{
        {Button::Start, true}, {Button::Stop, false}, {Button::SaveToPC, false}};
    // What proximityValue() returns: the spin edit's text as read, not clamped.
    int proximity = 4;

    // tmr_RichiestaID: enabling a running timer leaves it running from its
    // first start, so idTimerStarts counts only real starts.
    bool idTimerRunning = false;
    int idTimerStarts = 0;
    bool closingTimerEnabled = false;

    QStringList messages;
    // log.size() when each message was shown: what was logged before it.
    QList<qsizetype> logSizeAtMessage;
    QList<int> waits;

    void appendLine(const QString &line) override { log.append(line); }
    void appendSeparator() override { log.append(QString()); }
    void appendLineAndSeparator(const QString &line) override { log << line << QString(); }
    void setTitle(const QString &text) override { title = text; }
    void setLabel(Label label, const QString &text) override { labels[label] = text; }
    void setButtonEnabled(Button button, bool enabled) override { buttons[button] = enabled; }
    int proximityValue() const override { return proximity; }
    void enableIdTimer() override
    {
        if (!idTimerRunning) {
            idTimerRunning = true;
            ++idTimerStarts;
        }
    }
    void disableIdTimer() override { idTimerRunning = false; }
    void enableClosingTimer() override { closingTimerEnabled = true; }
    void showMessage(const QString &text) override
    {
        messages.append(text);
        logSizeAtMessage.append(log.size());
    }
    void waitMs(int ms) override { waits.append(ms); }

    QString label(Label which) const { return labels.at(which); }
    bool enabled(Button which) const { return buttons.at(which); }
    // Lines logged from index `from` on.
    QStringList logFrom(qsizetype from) const { return log.mid(from); }
};

} // namespace pulvane::test
