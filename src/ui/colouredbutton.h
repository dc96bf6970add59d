// The flat, self-painted command button used for START, STOP and SAVE TO PC.
#pragma once

#include <QAbstractButton>
#include <QColor>

namespace pulvane::ui {

enum class ButtonState
{
    Up,
    Down,
    Disabled
};

// The colour the face is filled with, from the three facts a button keeps:
// gray only while an enabled, hot button is held down, red otherwise.
QColor buttonFaceColour(bool enabled, bool hot, ButtonState state);

// Activated by the left mouse button only: clicked() is emitted when a press
// that began on the enabled button is released over it. The button never
// takes the keyboard focus and has no shortcut; the caption is drawn in the
// widget's font (the window gives it a bold one) and palette WindowText.
class ColouredButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit ColouredButton(const QString &caption, QWidget *parent = nullptr);

    QSize sizeHint() const override;

    bool isHot() const { return m_hot; }
    ButtonState state() const { return m_state; }
    QColor faceColour() const { return buttonFaceColour(isEnabled(), m_hot, m_state); }

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    bool pointerIsOver() const;
    void setState(ButtonState state);

    bool m_hot = false;
    bool m_pressing = false;
    ButtonState m_state = ButtonState::Up;
};

} // namespace pulvane::ui
