#include "eventlog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

namespace pulvane::ui {

EventLog::EventLog(QPlainTextEdit &pane) : m_pane(pane)
{
    m_pane.setUndoRedoEnabled(false);
    // Log lines need no ligatures or other OpenType features; laid out without
    // shaping, a line takes about a third less time. Family and size still
    // come from the window.
    QFont font;
    font.setStyleStrategy(QFont::PreferNoShaping);
    m_pane.setFont(font);
}

void EventLog::appendLine(const QString &line)
{
    QTextDocument *document = m_pane.document();
    // Text the user deleted may have taken packed blocks with it.
    m_packedBlocks = std::min(m_packedBlocks, document->blockCount() - 1);
    // Packed before the append, whose edit then brings the scroll bar's range
    // up to date.
    if (document->blockCount() - m_packedBlocks >= kNewestLoose + kLinesPerBlock)
        packOldestLoose();

    QTextCursor end(document);
    // Inside an edit block the cursor does not lay the text out to find its
    // column: the pane does that once, when it shows the new line.
    end.beginEditBlock();
    end.movePosition(QTextCursor::End);
    if (!document->isEmpty() || m_emptyLineShown)
        end.insertBlock();
    end.insertText(line);
    end.endEditBlock();
    ++m_lines;
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
    appendLine(QString());
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
    int paneLines = 0;
    for (QTextBlock b = first; b.isValid(); b = b.next()) {
        paneLines += std::max(1, b.lineCount());
        if (b == last)
            break;
    }
    QTextCursor range(document);
    range.beginEditBlock();
    range.setPosition(first.position());
    range.setPosition(last.position() + last.length() - 1, QTextCursor::KeepAnchor);
    // Block breaks read as U+2029 here; a line separator takes the place of
    // each, so the text keeps its length and every position stays valid.
    QString packed = range.selectedText();
    packed.replace(QChar::ParagraphSeparator, QChar::LineSeparator);
    range.insertText(packed);
    range.endEditBlock();
    document->findBlockByNumber(m_packedBlocks).setLineCount(paneLines);
    ++m_packedBlocks;
}

} // namespace pulvane::ui
