#include "colouredbutton.h"

#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

namespace pulvane::ui {

namespace {
const QColor kFaceColour = Qt::red;
const QColor kHotColour = Qt::red;
const QColor kDownColour(128, 128, 128);
} // namespace

QColor buttonFaceColour(bool enabled, bool hot, ButtonState state)
{
    if (enabled && hot)
        return state == ButtonState::Down ? kDownColour : kHotColour;
    return kFaceColour;
}

ColouredButton::ColouredButton(const QString &caption, QWidget *parent) : QAbstractButton(parent)
{
    setText(caption);
    setFocusPolicy(Qt::NoFocus);
    // The one-pixel margin around the face is left to the parent's background.
    setAutoFillBackground(false);
    setAttribute(Qt::WA_NoSystemBackground);
    if (!isEnabled())
        m_state = ButtonState::Disabled;
}

QSize ColouredButton::sizeHint() const
{
    return {137, 41};
}

bool ColouredButton::event(QEvent *event)
{
    // A caption with '&' would otherwise register a mnemonic with the window.
    if (event->type() == QEvent::Shortcut)
        return true;
    return QAbstractButton::event(event);
}

void ColouredButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect face = rect().adjusted(1, 1, -1, -1);
    painter.fillRect(face, faceColour());

    const QRect captionRect = face.adjusted(1, 1, -1, -1);
    const int flags = Qt::AlignCenter | Qt::TextSingleLine;
    painter.setFont(font());
    if (m_state == ButtonState::Disabled) {
        painter.setPen(palette().color(QPalette::Light));
        painter.drawText(captionRect.translated(1, 1), flags, text());
        painter.setPen(palette().color(QPalette::Dark));
        painter.drawText(captionRect, flags, text());
    } else {
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(captionRect, flags, text());
    }
}

void ColouredButton::enterEvent(QEnterEvent *event)
{
    const QWidget *grabber = mouseGrabber();
    if (isEnabled() && (!grabber || grabber == this) && !m_hot) {
        m_hot = true;
        update();
    }
    QAbstractButton::enterEvent(event);
}

void ColouredButton::leaveEvent(QEvent *event)
{
    if (!m_pressing && m_hot) {
        m_hot = false;
        update();
    }
    QAbstractButton::leaveEvent(event);
}

void ColouredButton::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !isEnabled()) {
        event->ignore();
        return;
    }
    m_pressing = true;
    // The press landed on the button, so the pointer is over it even if no
    // enter event came (the button appeared under a still pointer).
    m_hot = true;
    setState(ButtonState::Down);
    emit pressed();
}

void ColouredButton::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressing) {
        event->ignore();
        return;
    }
    const bool inside = rect().contains(event->position().toPoint());
    setState(inside ? ButtonState::Down : ButtonState::Up);
}

void ColouredButton::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_pressing) {
        event->ignore();
        return;
    }
    const bool inside = rect().contains(event->position().toPoint());
    m_pressing = false;
    m_hot = false;
    setState(ButtonState::Up);

    QPointer<ColouredButton> guard(this);
    emit released();
    if (inside && guard) {
        repaint();
        emit clicked(false);
    }
    // The handler may have disabled or even destroyed the button.
    if (!guard)
        return;
    const bool hot = isEnabled() && inside;
    if (hot != m_hot) {
        m_hot = hot;
        update();
    }
}

// Without the focus no key reaches the button; these keep a programmatic
// setFocus() from making Space a way to click it.
void ColouredButton::keyPressEvent(QKeyEvent *event)
{
    QWidget::keyPressEvent(event);
}

void ColouredButton::keyReleaseEvent(QKeyEvent *event)
{
    QWidget::keyReleaseEvent(event);
}

void ColouredButton::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange) {
        if (!isEnabled()) {
            m_pressing = false;
            m_state = ButtonState::Disabled;
            setDown(false);
        } else if (m_state == ButtonState::Disabled) {
            m_state = ButtonState::Up;
        }
        m_hot = isEnabled() && pointerIsOver();
        repaint();
    }
    QAbstractButton::changeEvent(event);
}

bool ColouredButton::pointerIsOver() const
{
    // Qt keeps this up to date from enter and leave, disabled or not.
    return isVisible() && underMouse();
}

void ColouredButton::setState(ButtonState state)
{
    if (state == m_state)
        return;
    m_state = state;
    setDown(state == ButtonState::Down);
    update();
}

} // namespace pulvane::ui
