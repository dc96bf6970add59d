#include "tailrepaint.h"

#include "heldrepaints.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTextCursor>
#include <QTextBlock>
#include <QTextDocument>
#include <cmath>

namespace pulvane::ui {

namespace {

// Where the pane draws a block, in the viewport, to the fraction of a pixel.
// The function is protected; a pointer to it, taken in a class derived from
// the pane, may be called on any pane.
struct BlockGeometry : QPlainTextEdit
{
    static QRectF of(const QPlainTextEdit &pane, const QTextBlock &block)
    {
        const QPointF offset = (pane.*&BlockGeometry::contentOffset)();
        return (pane.*&BlockGeometry::blockBoundingGeometry)(block).translated(offset);
    }
};

} // namespace

TailRepaint::SliderLook TailRepaint::sliderLook(const QScrollBar &bar)
{
    // As QScrollBar describes itself to its style.
    QStyleOptionSlider option;
    option.initFrom(&bar);
    option.subControls = QStyle::SC_None;
    option.activeSubControls = QStyle::SC_None;
    option.orientation = bar.orientation();
    option.minimum = bar.minimum();
    option.maximum = bar.maximum();
    option.sliderPosition = bar.sliderPosition();
    option.sliderValue = bar.value();
    option.singleStep = bar.singleStep();
    option.pageStep = bar.pageStep();
    option.upsideDown = bar.invertedAppearance();
    if (bar.orientation() == Qt::Horizontal)
        option.state |= QStyle::State_Horizontal;
    const QRect slider =
        bar.style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, &bar);
    return {slider, bar.value() == bar.minimum(), bar.value() == bar.maximum()};
}

TailRepaint::TailRepaint(QPlainTextEdit &pane) : m_pane(pane)
{
    const QScrollBar *bar = pane.verticalScrollBar();
    const QTextCursor caret = pane.textCursor();
    QWidget *viewport = pane.viewport();
    m_active = pane.isVisible() && viewport->updatesEnabled() && bar->updatesEnabled() &&
               bar->value() == bar->maximum() && !caret.hasSelection() && caret.atEnd();
    if (!m_active)
        return;
    m_lastBlock = pane.document()->lastBlock();
    m_lastBefore = BlockGeometry::of(pane, m_lastBlock);
    m_sliderBefore = sliderLook(*bar);
    holdRepaints(*viewport, true);
    holdRepaints(*pane.verticalScrollBar(), true);
}

TailRepaint::~TailRepaint()
{
    if (!m_active)
        return;
    QWidget *viewport = m_pane.viewport();
    QScrollBar *bar = m_pane.verticalScrollBar();
    holdRepaints(*viewport, false);
    holdRepaints(*bar, false);

    // The block that was last, where it is now: everything above it moved by
    // as much, and what lies below its top is new or held the caret. A move
    // by a fraction of a pixel draws the text anew: the whole pane then.
    const QRectF lastNow = BlockGeometry::of(m_pane, m_lastBlock);
    const qreal shift = lastNow.top() - m_lastBefore.top();
    const int dy = qRound(shift);
    if (!m_lastBlock.isValid() || !qFuzzyIsNull(shift - dy)) {
        viewport->update();
    } else {
        if (dy != 0)
            viewport->scroll(0, dy);
        // Without focus the pane draws no caret, so the block that was last
        // looks as it did; when it lay wholly in view it is whole after the
        // blit and the repaint starts at its bottom row (the new lines).
        // Otherwise the repaint takes that block in: with focus (the caret
        // leaves it) from its first row, without from the row below it,
        // which keeps the block above it (touching that row) out.
        const bool keepLast = !m_pane.hasFocus() && m_lastBefore.bottom() <= viewport->height();
        const int top = keepLast ? int(std::floor(lastNow.bottom()))
                                 : int(std::floor(lastNow.top())) + (m_pane.hasFocus() ? 0 : 1);
        const QRect fresh(0, top, viewport->width(), viewport->height() - top);
        if (fresh.isValid())
            viewport->update(fresh);
    }

    if (!(sliderLook(*bar) == m_sliderBefore))
        bar->update();
}

} // namespace pulvane::ui
