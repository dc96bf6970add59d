// What an append to the log repaints while the pane follows its end.
//
// Left to itself, QPlainTextEdit repaints the whole pane for every new block
// (its plain-text layout asks for it), the scroll bar and, under the scroll
// bar, the pane's frame, though only the newest lines have changed. Around an
// append that keeps the pane at its end, a TailRepaint holds back every
// repaint that Qt asks for, then scrolls what was in view by the height the
// new lines took (a blit) and repaints the new lines (with the line that was
// last, which held the caret, while the pane has focus); the scroll bar is repainted only when its slider moved, changed
// size, or reached or left an end. Block numbers that change above the view
// (the log packing its lines) then cost nothing either.
//
// When the pane is hidden, scrolled away from its end or holds a selection,
// the TailRepaint does nothing and Qt repaints as it always does.
#pragma once

#include <QRect>
#include <QRectF>
#include <QTextBlock>

class QPlainTextEdit;
class QScrollBar;

namespace pulvane::ui {

class TailRepaint
{
public:
    explicit TailRepaint(QPlainTextEdit &pane);
    ~TailRepaint();
    TailRepaint(const TailRepaint &) = delete;
    TailRepaint &operator=(const TailRepaint &) = delete;

    // The scroll bar's pixels depend on these (and on its size and style).
    struct SliderLook
    {
        QRect slider;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const SliderLook &) const = default;
    };
    static SliderLook sliderLook(const QScrollBar &bar);

private:
    QPlainTextEdit &m_pane;
    bool m_active = false;
    // The last block before the append and where it was in the viewport.
    QTextBlock m_lastBlock;
    QRectF m_lastBefore;
    SliderLook m_sliderBefore;
};

} // namespace pulvane::ui
