#include "eventlog.h"

#include "tailrepaint.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleHints>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextLayout>
#include <algorithm>
#include <optional>

namespace pulvane::ui {

namespace {

// A line of the log in the pane's text, [start, end), the break after it
// included, as Qt's triple-click includes a block's.
struct LineRange
{
    int start = 0;
    int end = 0;
};

LineRange lineAround(const QTextDocument &document, int position)
{
    const QTextBlock block = document.findBlock(position);
    const QString text = block.text();
    const int offset = position - block.position();
    const int start = offset == 0 ? 0 : int(text.lastIndexOf(QChar::LineSeparator, offset - 1)) + 1;
    int end = int(text.indexOf(QChar::LineSeparator, offset));
    if (end < 0)
        end = int(text.size());
    return {block.position() + start,
            std::min(block.position() + end + 1, document.characterCount() - 1)};
}

// Qt's triple-click selects a block, which among packed lines holds many.
// This takes over the press that Qt would read as a triple-click (within the
// double-click interval of a double-click, near it) and selects the line
// under the pointer; dragging on extends the selection line by line.
class TripleClickSelectsLine : public QObject
{
public:
    explicit TripleClickSelectsLine(QPlainTextEdit &pane) : QObject(&pane), m_pane(pane)
    {
        pane.viewport()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::MouseButtonDblClick && type != QEvent::MouseButtonPress &&
            type != QEvent::MouseMove && type != QEvent::MouseButtonRelease)
            return false;
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const QPoint point = mouse->position().toPoint();
        const bool left = mouse->button() == Qt::LeftButton;
        if (type == QEvent::MouseButtonDblClick && left) {
            m_sinceDoubleClick.start();
            m_doubleClickAt = point;
        } else if (type == QEvent::MouseButtonPress && left && isThirdClick(point)) {
            m_anchor = lineAt(point);
            selectTo(*m_anchor);
            return true;
        } else if (type == QEvent::MouseMove && m_anchor) {
            if (mouse->buttons() & Qt::LeftButton)
                selectTo(lineAt(point));
            return true;
        } else if (type == QEvent::MouseButtonRelease && left && m_anchor) {
            m_anchor.reset();
            // Where the system has a selection clipboard, a mouse selection
            // goes there when the button is let go.
            QClipboard *clipboard = QGuiApplication::clipboard();
            if (clipboard->supportsSelection())
                clipboard->setText(m_pane.textCursor().selection().toPlainText(),
                                   QClipboard::Selection);
            return true;
        }
        return false;
    }

private:
    // Qt's own test: its triple-click timer runs from the double-click.
    bool isThirdClick(QPoint point) const
    {
        const int interval = QGuiApplication::styleHints()->mouseDoubleClickInterval();
        return m_sinceDoubleClick.isValid() && !m_sinceDoubleClick.hasExpired(interval) &&
               (point - m_doubleClickAt).manhattanLength() < QApplication::startDragDistance();
    }

    LineRange lineAt(QPoint point) const
    {
        return lineAround(*m_pane.document(), m_pane.cursorForPosition(point).position());
    }

    // The triple-clicked line, `line` and those between, whole.
    void selectTo(const LineRange &line)
    {
        QTextCursor selection(m_pane.document());
        selection.setPosition(line.start < m_anchor->start ? m_anchor->end : m_anchor->start);
        selection.setPosition(line.start < m_anchor->start ? line.start : line.end,
                              QTextCursor::KeepAnchor);
        m_pane.setTextCursor(selection);
    }

    QPlainTextEdit &m_pane;
    QElapsedTimer m_sinceDoubleClick;
    QPoint m_doubleClickAt;
    // The triple-clicked line while the button is held.
    std::optional<LineRange> m_anchor;
};

// A loose block keeps its shaped glyphs from the layout that brings the
// scroll bar up to date to the paint that shows it; otherwise Qt frees them
// after laying the block out and shapes the text again to draw it. Only the
// loose blocks keep them (a couple of kilobytes a line); a packed block
// frees them after each layout, as Qt does by default.
void keepShaped(const QTextBlock &block, bool keep)
{
    if (QTextLayout *layout = block.layout())
        layout->setCacheEnabled(keep);
}

// With both scroll bar policies fixed (and bars that do not come and go), a
// new range never changes the pane's layout, yet Qt lays the pane out again
// after every change of range: once for every appended line. That re-layout
// is dropped.
void dropRelayoutOnRange(QPlainTextEdit &pane)
{
    const auto fixed = [](Qt::ScrollBarPolicy policy) { return policy != Qt::ScrollBarAsNeeded; };
    QScrollBar *bar = pane.verticalScrollBar();
    if (fixed(pane.verticalScrollBarPolicy()) && fixed(pane.horizontalScrollBarPolicy()) &&
        !bar->style()->styleHint(QStyle::SH_ScrollBar_Transient, nullptr, bar))
        QObject::disconnect(bar, SIGNAL(rangeChanged(int,int)), &pane,
                            SLOT(_q_showOrHideScrollBars()));
}

} // namespace

EventLog::EventLog(QPlainTextEdit &pane) : m_pane(pane)
{
    new TripleClickSelectsLine(m_pane);
    m_pane.setUndoRedoEnabled(false);
    // Log lines need no ligatures or other OpenType features; laid out without
    // shaping, a line takes about a third less time. Family and size still
    // come from the window.
    QFont font;
    font.setStyleStrategy(QFont::PreferNoShaping);
    m_pane.setFont(font);
    dropRelayoutOnRange(m_pane);
}

void EventLog::appendLine(const QString &line)
{
    appendLines({line});
}

void EventLog::appendLineAndSeparator(const QString &line)
{
    appendLines({line, QString()});
}

void EventLog::appendLines(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    QTextDocument *document = m_pane.document();
    const TailRepaint repaint(m_pane);
    // Text the user deleted may have taken packed blocks with it.
    m_packedBlocks = std::min(m_packedBlocks, document->blockCount() - 1);
    // Packed before the append, whose edit then brings the scroll bar's range
    // up to date.
    if (document->blockCount() - m_packedBlocks >= kNewestLoose + kLinesPerBlock)
        packOldestLoose();

    QTextCursor end(document);
    // Inside an edit block the cursor does not lay the text out to find its
    // column: the pane does that once, when it shows the new lines.
    end.beginEditBlock();
    end.movePosition(QTextCursor::End);
    bool occupied = !document->isEmpty() || m_emptyLineShown;
    for (const QString &line : lines) {
        if (occupied)
            end.insertBlock();
        end.insertText(line);
        keepShaped(end.block(), true);
        occupied = true;
    }
    end.endEditBlock();
    m_lines += lines.size();
    m_emptyLineShown = document->isEmpty();

    // The caret follows the insertion when it stood at the end; otherwise it
    // is moved there, giving up the user's selection.
    const QTextCursor caret = m_pane.textCursor();
    if (caret.hasSelection() || caret.position() != end.position())
        m_pane.setTextCursor(end);
    // The scroll bar counts the pane's lines; at its maximum the newest line
    // is the last one in view.
    QScrollBar *bar = m_pane.verticalScrollBar();
    bar->setValue(bar->maximum());
}

void EventLog::appendSeparator()
{
    appendLines({QString()});
}

QString EventLog::text() const
{
    return m_pane.toPlainText();
}

void EventLog::packOldestLoose()
{
    QTextDocument *document = m_pane.document();
    const QTextBlock first = document->findBlockByNumber(m_packedBlocks);
    const QTextBlock last = document->findBlockByNumber(m_packedBlocks + kLinesPerBlock - 1);
    // The pane's lines in these blocks as they were laid out: the packed block
    // counts as many, so the scroll bar keeps its scale without laying the
    // block out again until it comes into view.
    // The blocks' texts joined by line separators: one in place of each
    // block break, so the text keeps its length and every position stays
    // valid.
    int paneLines = 0;
    QString packed;
    packed.reserve(last.position() + last.length() - 1 - first.position());
    for (QTextBlock b = first; b.isValid(); b = b.next()) {
        paneLines += std::max(1, b.lineCount());
        packed.append(b.text());
        if (b == last)
            break;
        packed.append(QChar::LineSeparator);
    }
    QTextCursor range(document);
    range.beginEditBlock();
    range.setPosition(first.position());
    range.setPosition(last.position() + last.length() - 1, QTextCursor::KeepAnchor);
    range.insertText(packed);
    range.endEditBlock();
    QTextBlock packedBlock = document->findBlockByNumber(m_packedBlocks);
    packedBlock.setLineCount(paneLines);
    keepShaped(packedBlock, false);
    ++m_packedBlocks;
}

} // namespace pulvane::ui
