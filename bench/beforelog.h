// The log pane as the program had it before the EventLog packed its lines:
// one text block per line, written with QPlainTextEdit::appendPlainText. Kept
// for the benchmarks only, as the figure the EventLog is compared with.
#pragma once

#include <QPlainTextEdit>
#include <QTextCursor>

class BeforeLog
{
public:
    explicit BeforeLog(QPlainTextEdit &pane) : m_pane(pane) { m_pane.setUndoRedoEnabled(false); }

    void appendLine(const QString &line)
    {
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
    void appendSeparator() { appendLine(QString()); }

private:
    QPlainTextEdit &m_pane;
    bool m_emptyLineShown = false;
};
