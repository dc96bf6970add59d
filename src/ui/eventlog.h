// The EventLog: the window's log pane, which only ever grows.
//
// Every line goes after everything in the pane (text the user typed
// included), on a line of its own; the pane then shows it with the caret at
// the end, whatever the user had scrolled to or selected. Lines are never
// removed and their number is not limited, so each append costs the same
// however long the log already is.
#pragma once

#include <QString>

class QPlainTextEdit;

namespace pulvane::ui {

class EventLog
{
public:
    // The pane must outlive the EventLog. Its undo history is switched off: a
    // log that grows without limit must not keep a record of every append,
    // and an undo must not take logged lines back out.
    explicit EventLog(QPlainTextEdit &pane);

    void appendLine(const QString &line);
    // An empty line.
    void appendSeparator();

    // The lines joined by line breaks, without a trailing one.
    QString text() const;

private:
    QPlainTextEdit &m_pane;
    // The pane's single empty block is a line of the log, not an empty pane.
    bool m_emptyLineShown = false;
};

} // namespace pulvane::ui
