// What a new text repaints in a label.
//
// QLabel repaints its whole rectangle when its text changes, although the
// characters that the old and the new text share at their start are drawn
// where they were. For a label of one line of plain text set at its top left,
// setLabelText() repaints the label from the first character that changes to
// its right end, less the distance that a glyph of the font may reach to the
// left of its origin. Anything else is repainted as QLabel does.
#pragma once

#include <QRect>

class QLabel;
class QString;

namespace pulvane::ui {

// The part of the label that can change when its text goes from before to
// after; a null rectangle when the whole label must be repainted.
QRect changedTextRect(const QLabel &label, const QString &before, const QString &after);

// QLabel::setText, repainting changedTextRect() only.
void setLabelText(QLabel &label, const QString &text);

} // namespace pulvane::ui
