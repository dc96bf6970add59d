// The line edit of a spin field: a QLineEdit whose caret blinks without
// drawing the frame again.
//
// Each blink repaints a small rectangle around the caret, and QLineEdit then
// asks its style for the panel, whose frame Fusion strokes as antialiased
// rounded rectangles, costing about half of the blink, though none of the
// frame's pixels lie in that rectangle. Under Fusion this edit skips the frame
// for a paint whose region lies wholly inside the frame's footprint; every
// other paint, and every other style, draws as QLineEdit does.
#pragma once

#include <QLineEdit>
#include <QRect>

namespace pulvane::ui {

class CaretLineEdit : public QLineEdit
{
public:
    explicit CaretLineEdit(QWidget *parent = nullptr);

    // Inside this rectangle Fusion's line-edit frame draws no pixel: the
    // outline (the outermost ring), the focus highlight (the ring inside it,
    // with corners of radius 1.7 reaching the third pixel diagonally) and the
    // shadow line under the top edge all lie within three pixels of an edge.
    QRect frameInterior() const { return rect().adjusted(3, 3, -3, -3); }

    // Whether the paint under way needs no frame.
    bool paintingInterior() const { return m_interiorOnly; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_interiorOnly = false;
};

} // namespace pulvane::ui
