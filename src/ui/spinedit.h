// seEdt_SogliaProssimita: a one-line numeric field with up/down arrows.
#pragma once

#include <QString>
#include <QWidget>

class QAbstractButton;
class QLineEdit;

namespace pulvane::ui {

// The value a spin-edit text denotes: a decimal integer with an optional
// leading sign, not clamped; anything else (empty included) reads as 0.
// A number beyond the range of int reads as 0 too.
int spinValueFromText(const QString &text);

// The value after one arrow step of delta from value, kept within min..max.
int spinStepped(int value, int delta, int min, int max);

// Whether a typed text may go into the field: digits, '+', '-', the given
// decimal separator, and control characters other than Enter.
bool spinAcceptsTyped(const QString &typed, const QString &decimalPoint);

// Range 0..10, step 1. The text is free: typing is filtered, pasting is not,
// and the value is read from the text on every request. Leaving the field
// pulls an integer outside the range to the nearest bound.
class SpinEdit : public QWidget
{
    Q_OBJECT
public:
    explicit SpinEdit(QWidget *parent = nullptr);

    int minimum() const { return 0; }
    int maximum() const { return 10; }
    // The value as the text reads now (spinValueFromText).
    int value() const;
    QString text() const;
    void setText(const QString &text);
    QLineEdit *lineEdit() const { return m_edit; }
    QAbstractButton *upButton() const { return m_up; }
    QAbstractButton *downButton() const { return m_down; }

    // One step from the current value, clamped, written back as text.
    void stepBy(int delta);

    QSize sizeHint() const override;

signals:
    // A typed character was dropped; connected to the system beep.
    void rejectedKey();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

    QLineEdit *m_edit = nullptr;

private:
    bool filterKey(QKeyEvent *event);
    void clampToRange();
    void placeArrows();

    QAbstractButton *m_up = nullptr;
    QAbstractButton *m_down = nullptr;
};

} // namespace pulvane::ui
