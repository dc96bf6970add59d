// What a new text repaints in a label.
//
// QLabel repaints its whole rectangle when its text changes, although the
// characters that the old and the new text share at their start are drawn
// where they were. For a label of one line of plain text set at its top left,
// a LabelRepaint repaints the label from the first character that changes to
// its right end, less the distance that a glyph of the font may reach to the
// left of its origin. Anything else is repainted as QLabel does.
#pragma once

#include <QFont>
#include <QHash>
#include <QRect>
#include <QString>
#include <optional>

class QLabel;

namespace pulvane::ui {

class LabelRepaint
{
public:
    // The part of the label that can change when its text goes from before
    // to after; a null rectangle when the whole label must be repainted.
    QRect changedRect(const QLabel &label, const QString &before, const QString &after);

    // QLabel::setText, repainting changedRect() only.
    void setText(QLabel &label, const QString &text);

private:
    void useFontOf(const QLabel &label);
    qreal origin(const QLabel &label, const QString &text, qsizetype index);

    // Laying a text out costs more than repainting a few glyphs, and a label
    // shows few distinct texts (a heart rate, a device number): where each
    // character starts is kept per text while the font stays the same.
    std::optional<QFont> m_font;
    int m_dpi = 0;
    qreal m_reach = 0;
    QHash<QString, qreal> m_origins;
};

} // namespace pulvane::ui
