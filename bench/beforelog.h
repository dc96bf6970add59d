// The log pane as the program had it before the EventLog packed its lines:
// one text block per line, written with QPlainTextEdit::appendPlainText. Kept
// for the benchmarks only, as the figure the EventLog is compared with.
#pragma once

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTextCursor>
#include <QTextStream>

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

// Runs this program once with `--pane before` and once with `--pane after`
// (each in a process of its own, so that neither inherits the other's heap),
// the given arguments appended, and prints the header and then their output.
// Returns the exit code for main().
inline int runEachPane(const QString &header, const QStringList &arguments)
{
    QTextStream out(stdout);
    out << header << Qt::endl;
    for (const char *pane : {"before", "after"}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    QStringList{QStringLiteral("--pane"), QLatin1String(pane)} + arguments);
        child.waitForFinished(-1);
        out << child.readAllStandardOutput();
        out.flush();
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
            return 1;
    }
    return 0;
}
