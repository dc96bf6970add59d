#include "eventlog.h"

#include <QPlainTextEdit>
#include <QTextCursor>

namespace pulvane::ui {

EventLog::EventLog(QPlainTextEdit &pane) : m_pane(pane)
{
    m_pane.setUndoRedoEnabled(false);
}

void EventLog::appendLine(const QString &line)
{
    // appendPlainText writes at the document's end in a block of its own,
    // leaving the user's caret alone; it keeps the view in place unless it
    // was already at the bottom, hence the explicit move and scroll.
    // An empty pane is one empty block: the same as a pane whose only line is
    // an empty one, which a separator leaves behind.
    if (m_emptyLineShown && m_pane.document()->isEmpty())
        m_pane.appendPlainText(QLatin1Char('\n') + line);
    else
        m_pane.appendPlainText(line);
    m_emptyLineShown = m_pane.document()->isEmpty();
    QTextCursor end = m_pane.textCursor();
    end.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
    m_pane.setTextCursor(end);
    m_pane.ensureCursorVisible();
}

void EventLog::appendSeparator()
{
    appendLine(QString());
}

QString EventLog::text() const
{
    return m_pane.toPlainText();
}

} // namespace pulvane::ui
