// Holding back a widget's repaints while it changes, so that its owner asks
// for the part that really changed.
#pragma once

#include <QWidget>

namespace pulvane::ui {

// While held, QWidget::update() (and Qt's own scrolling of the widget) leave
// the widget alone; unlike setUpdatesEnabled(), letting go asks for no
// repaint.
inline void holdRepaints(QWidget &widget, bool hold)
{
    widget.setAttribute(Qt::WA_UpdatesDisabled, hold);
}

} // namespace pulvane::ui
