// What the non-visual finder needs from its window. TForm1 implements it over
// its controls and timers; tests implement it to observe the finder.
// Every call is made on the window's thread.
#pragma once

#include <QString>

namespace pulvane {

class FinderView
{
public:
    enum class Label
    {
        HeartRate,
        DeviceNumber
    }; // lbl_HR, lbl_DeviceNumber
    enum class Button
    {
        Start,
        Stop,
        SaveToPC
    }; // Btn_Start1, Btn_Stop, Btn_SaveToPC

    virtual ~FinderView() = default;

    // The EventLog: a line, or a separator (an empty line), or a line and the
    // separator after it as one entry.
    virtual void appendLine(const QString &line) = 0;
    virtual void appendSeparator() = 0;
    virtual void appendLineAndSeparator(const QString &line) = 0;

    virtual void setTitle(const QString &title) = 0;
    virtual void setLabel(Label label, const QString &text) = 0;
    virtual void setButtonEnabled(Button button, bool enabled) = 0;

    // The proximity spin edit's value as its text reads now (not clamped).
    virtual int proximityValue() const = 0;

    // tmr_RichiestaID. Enabling a running timer must not restart it.
    virtual void enableIdTimer() = 0;
    virtual void disableIdTimer() = 0;
    // tmr_Chiusura: its ticks ask the window to close.
    virtual void enableClosingTimer() = 0;

    // A modal message box with one OK button; returns when it is dismissed.
    virtual void showMessage(const QString &text) = 0;
    // Blocks the window's thread for the given time.
    virtual void waitMs(int ms) = 0;
};

} // namespace pulvane
