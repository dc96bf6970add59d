#include "colouredbutton.h"

#include <QPainter>

namespace pulvane::ui {

ColouredButton::ColouredButton(const QString &caption, QWidget *parent) : QAbstractButton(parent)
{
    setText(caption);
    setFocusPolicy(Qt::NoFocus);
}

QSize ColouredButton::sizeHint() const
{
    return {137, 41};
}

void ColouredButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRect face = rect().adjusted(1, 1, -1, -1);
    p.fillRect(face, Qt::red);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(face, Qt::AlignCenter, text());
}

} // namespace pulvane::ui
