// The EventLog: the window's log pane, which only ever grows.
//
// Every line goes after everything in the pane (text the user typed
// included), on a line of its own; the pane then shows it with the caret at
// the end, whatever the user had scrolled to or selected. Lines are never
// removed and their number is not limited; an append never walks the whole
// log, only Qt's block and line trees, which deepen slowly as it grows.
//
// What a line costs in memory is mostly the text document's structures for
// a block: the block itself, its fragments and its layout. So the log keeps
// the newest lines one block each, where appending is cheapest, and packs
// older ones, a fixed number to a block, joined by line separators (U+2028),
// which the pane shows, selects and copies as line breaks. A packed block is
// laid out only when it comes into view. A triple-click selects the line
// under the pointer, packed or not, as Qt does for a line of its own.
#pragma once

#include <QString>
#include <QStringList>

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
    // A line and a separator after it: one edit of the pane, one repaint.
    void appendLineAndSeparator(const QString &line);
    // Lines in one edit. While the pane follows its end only the new lines
    // are repainted (TailRepaint).
    void appendLines(const QStringList &lines);

    // The lines joined by line breaks, without a trailing one.
    QString text() const;

    // The lines appended so far, separators included.
    qint64 lineCount() const { return m_lines; }

    // Lines packed into one block, and how many of the newest lines stay one
    // to a block (enough to fill a tall pane).
    static constexpr int kLinesPerBlock = 32;
    static constexpr int kNewestLoose = 128;

private:
    void packOldestLoose();

    QPlainTextEdit &m_pane;
    // The pane's single empty block is a line of the log, not an empty pane.
    bool m_emptyLineShown = false;
    qint64 m_lines = 0;
    // Blocks 0 .. m_packedBlocks - 1 hold packed lines.
    int m_packedBlocks = 0;
};

} // namespace pulvane::ui
