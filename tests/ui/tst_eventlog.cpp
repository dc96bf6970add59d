#include "eventlog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

using pulvane::ui::EventLog;

namespace {
// Stands for appendSeparator() in a row's list of operations.
const QString kSeparator = QStringLiteral("<separator>");
// Enough lines that the oldest have been packed several times over.
constexpr int kManyLines = 3 * (EventLog::kNewestLoose + EventLog::kLinesPerBlock) + 7;

// The n-th of a run of logged lines: a received message and its separator,
// as the finder writes them, now and then one too wide for the pane.
QString loggedLine(int n)
{
    if (n % 2)
        return QString();
    if (n % 14 == 0)
        return QStringLiteral("Fail(0x%1) - a line long enough to need more than one row of the "
                              "pane at any width it starts with")
            .arg(n, 2, 16, QLatin1Char('0'));
    return QStringLiteral("Rx[%1] - [00][84][00][00][%2]").arg(n % 100, 2).arg(n & 0xFF, 2, 16);
}
} // namespace

class TestEventLog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void joining_data();
    void joining();
    void userTextStaysBeforeNewLines_data();
    void userTextStaysBeforeNewLines();
    void newestLineScrolledIntoView();
    void newestLineInViewWhenShown();
    void selectionAndCaretGivenUp();
    void undoTakesNothingBack();
    void everyLineKeptInOrder_data();
    void everyLineKeptInOrder();
    void packedLinesKeepTheirRows();
    void longLinesWrapAtThePanesWidth();
    void copiedTextIsTheLines_data();
    void copiedTextIsTheLines();
    void mouseSelectionCopies();
    void typingAmongPackedLines();
    void loggingGoesOnAfterTheUserDeletedEverything();

private:
    QPlainTextEdit *m_pane = nullptr;
    EventLog *m_log = nullptr;
};

void TestEventLog::init()
{
    m_pane = new QPlainTextEdit;
    m_pane->resize(265, 164);
    m_log = new EventLog(*m_pane);
}

void TestEventLog::cleanup()
{
    delete m_log;
    delete m_pane;
}

void TestEventLog::joining_data()
{
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QString>("text");

    QTest::newRow("one line") << QStringList{"Cmd - Reset"} << "Cmd - Reset";
    QTest::newRow("two lines") << QStringList{"a", "b"} << "a\nb";
    QTest::newRow("separator between") << QStringList{"a", kSeparator, "b"} << "a\n\nb";
    QTest::newRow("separator first") << QStringList{kSeparator, "a"} << "\na";
    QTest::newRow("separators only") << QStringList{kSeparator, kSeparator} << "\n";
    QTest::newRow("separator last") << QStringList{"a", kSeparator} << "a\n";
    QTest::newRow("two separators") << QStringList{"a", kSeparator, kSeparator, "b"} << "a\n\n\nb";
    QTest::newRow("empty line") << QStringList{"a", "", "b"} << "a\n\nb";
    QTest::newRow("blanks kept") << QStringList{" a ", "b  "} << " a \nb  ";
}

void TestEventLog::joining()
{
    QFETCH(QStringList, operations);
    QFETCH(QString, text);

    for (const QString &op : operations) {
        if (op == kSeparator)
            m_log->appendSeparator();
        else
            m_log->appendLine(op);
    }
    QCOMPARE(m_log->text(), text);
    QCOMPARE(m_pane->toPlainText(), text);
}

void TestEventLog::userTextStaysBeforeNewLines_data()
{
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("caret");
    QTest::addColumn<QString>("text");

    QTest::newRow("typed into empty pane") << ""
                                           << "hello" << 0 << "hello\nnew";
    QTest::newRow("typed in the middle of a line") << "first\nsecond"
                                                   << "XY" << 2 << "fiXYrst\nsecond\nnew";
    QTest::newRow("typed at the end of the last line") << "first"
                                                       << " more" << -1 << "first more\nnew";
    QTest::newRow("typed a line break at the end") << "first"
                                                   << "\n"
                                                   << -1 << "first\n\nnew";
}

void TestEventLog::userTextStaysBeforeNewLines()
{
    QFETCH(QString, logged);
    QFETCH(QString, typed);
    QFETCH(int, caret);
    QFETCH(QString, text);

    if (!logged.isEmpty()) {
        for (const QString &line : logged.split('\n'))
            m_log->appendLine(line);
    }
    QTextCursor cursor = m_pane->textCursor();
    if (caret >= 0)
        cursor.setPosition(caret);
    else
        cursor.movePosition(QTextCursor::End);
    m_pane->setTextCursor(cursor);
    if (typed == "\n")
        QTest::keyClick(m_pane, Qt::Key_Return);
    else
        QTest::keyClicks(m_pane, typed);

    m_log->appendLine(QStringLiteral("new"));

    QCOMPARE(m_log->text(), text);
}

void TestEventLog::newestLineScrolledIntoView()
{
    m_pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pane));
    for (int i = 0; i < 300; ++i)
        m_log->appendLine(QStringLiteral("line %1").arg(i));
    QScrollBar *bar = m_pane->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);

    bar->setValue(0);
    QCOMPARE(bar->value(), 0);

    m_log->appendLine(QStringLiteral("newest"));
    QVERIFY(bar->value() > 0);
    QVERIFY(m_pane->viewport()->rect().contains(m_pane->cursorRect()));
    QCOMPARE(m_pane->cursorForPosition(m_pane->cursorRect().center()).block().text(),
             QStringLiteral("newest"));

    bar->setValue(bar->maximum() / 2);
    m_log->appendSeparator();
    QVERIFY(m_pane->viewport()->rect().contains(m_pane->cursorRect()));
}

void TestEventLog::newestLineInViewWhenShown()
{
    // Logged while the window was not yet shown.
    for (int i = 0; i < kManyLines; ++i)
        m_log->appendLine(QStringLiteral("line %1").arg(i));
    m_pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pane));
    QVERIFY(m_pane->viewport()->rect().contains(m_pane->cursorRect()));
    QCOMPARE(m_pane->cursorForPosition(m_pane->cursorRect().center()).block().text(),
             QStringLiteral("line %1").arg(kManyLines - 1));
}

void TestEventLog::selectionAndCaretGivenUp()
{
    m_log->appendLine(QStringLiteral("alpha"));
    m_log->appendLine(QStringLiteral("beta"));
    QTextCursor cursor = m_pane->textCursor();
    cursor.setPosition(1);
    cursor.setPosition(8, QTextCursor::KeepAnchor);
    m_pane->setTextCursor(cursor);
    QVERIFY(m_pane->textCursor().hasSelection());

    m_log->appendLine(QStringLiteral("gamma"));

    QVERIFY(!m_pane->textCursor().hasSelection());
    QCOMPARE(m_pane->textCursor().position(), m_log->text().size());
    // The text the user had selected is untouched.
    QCOMPARE(m_log->text(), QStringLiteral("alpha\nbeta\ngamma"));
}

void TestEventLog::undoTakesNothingBack()
{
    m_log->appendLine(QStringLiteral("one"));
    m_log->appendLine(QStringLiteral("two"));
    m_pane->undo();
    QTest::keyClick(m_pane, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(m_log->text(), QStringLiteral("one\ntwo"));
}

void TestEventLog::everyLineKeptInOrder_data()
{
    QTest::addColumn<int>("lines");
    const int packAt = EventLog::kNewestLoose + EventLog::kLinesPerBlock;
    QTest::newRow("none packed yet") << packAt - 1;
    QTest::newRow("first pack") << packAt + 1;
    QTest::newRow("many packs") << kManyLines;
    QTest::newRow("twenty thousand") << 20000;
}

void TestEventLog::everyLineKeptInOrder()
{
    QFETCH(int, lines);
    QStringList expected;
    for (int i = 0; i < lines; ++i) {
        const QString line = loggedLine(i);
        if (line.isEmpty())
            m_log->appendSeparator();
        else
            m_log->appendLine(line);
        expected << line;
    }
    const QString text = expected.join(QLatin1Char('\n'));
    QCOMPARE(m_log->lineCount(), lines);
    QCOMPARE(m_log->text(), text);
    QCOMPARE(m_pane->toPlainText(), text);
}

void TestEventLog::packedLinesKeepTheirRows()
{
    // Short lines take one row each: the scroll bar's scale counts every one,
    // packed or not, without the packed blocks being laid out again.
    m_pane->resize(400, 164);
    m_pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pane));
    for (int i = 0; i < kManyLines; ++i)
        m_log->appendLine(QString::number(i));
    QCOMPARE(m_pane->document()->lineCount(), kManyLines);
    QScrollBar *bar = m_pane->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(bar->maximum() + bar->pageStep(), kManyLines);

    // Scrolled to the top, the first packed lines are shown from the first.
    bar->setValue(0);
    QCOMPARE(
        m_pane->cursorForPosition(QPoint(2, 2)).block().text().section(QChar::LineSeparator, 0, 0),
        QStringLiteral("0"));
}

void TestEventLog::longLinesWrapAtThePanesWidth()
{
    m_pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pane));
    const QString wide = loggedLine(0);
    for (int i = 0; i < kManyLines; ++i)
        m_log->appendLine(wide);
    const int narrowRows = m_pane->document()->lineCount();
    QVERIFY2(narrowRows >= 2 * kManyLines, qPrintable(QString::number(narrowRows)));
    QCOMPARE(m_pane->horizontalScrollBar()->maximum(), 0);

    // Wide enough for the whole line: one row each, packed lines as they are
    // laid out anew.
    m_pane->resize(2000, 164);
    QCoreApplication::processEvents();
    QTextBlock first = m_pane->document()->firstBlock();
    m_pane->document()->documentLayout()->blockBoundingRect(first);
    QCOMPARE(first.layout()->lineCount(), EventLog::kLinesPerBlock);
    QTextBlock last = m_pane->document()->lastBlock();
    m_pane->document()->documentLayout()->blockBoundingRect(last);
    QCOMPARE(last.layout()->lineCount(), 1);
    QCOMPARE(m_log->text().count(QLatin1Char('\n')), kManyLines - 1);
}

void TestEventLog::copiedTextIsTheLines_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    // Positions in the text; -1 for Ctrl+A.
    QTest::newRow("everything, Ctrl+A") << -1 << -1;
    QTest::newRow("inside the first packed block") << 3 << 80;
    QTest::newRow("across packed blocks into the newest") << 10 << -2;
    QTest::newRow("from a line's start to a separator") << 0 << 31;
}

void TestEventLog::copiedTextIsTheLines()
{
    QFETCH(int, from);
    QFETCH(int, to);
    for (int i = 0; i < kManyLines; ++i)
        m_log->appendLine(loggedLine(i));
    const QString text = m_log->text();
    QString expected = text;
    if (from < 0) {
        QTest::keyClick(m_pane, Qt::Key_A, Qt::ControlModifier);
    } else {
        if (to == -2)
            to = text.size() - 5;
        QTextCursor selection = m_pane->textCursor();
        selection.setPosition(from);
        selection.setPosition(to, QTextCursor::KeepAnchor);
        m_pane->setTextCursor(selection);
        expected = text.mid(from, to - from);
    }
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(m_pane, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
}

void TestEventLog::mouseSelectionCopies()
{
    m_pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pane));
    for (int i = 0; i < kManyLines; ++i)
        m_log->appendLine(QStringLiteral("line %1").arg(i));
    m_pane->verticalScrollBar()->setValue(0);

    // Drag from the first line's start down over a few lines, then extend
    // the selection by a line with the keyboard.
    QWidget *view = m_pane->viewport();
    const QPoint start = m_pane->cursorRect(QTextCursor(m_pane->document())).center();
    const QPoint end = start + QPoint(20, 3 * QFontMetrics(m_pane->font()).lineSpacing());
    QTest::mousePress(view, Qt::LeftButton, {}, start);
    QTest::mouseMove(view, end);
    QTest::mouseRelease(view, Qt::LeftButton, {}, end);
    QVERIFY(m_pane->textCursor().hasSelection());
    QTest::keyClick(m_pane, Qt::Key_Down, Qt::ShiftModifier);
    const QTextCursor selection = m_pane->textCursor();
    QCOMPARE(selection.selectionStart(), 0);

    QTest::keyClick(m_pane, Qt::Key_C, Qt::ControlModifier);
    const QString copied = QGuiApplication::clipboard()->text();
    QCOMPARE(copied, m_log->text().left(selection.selectionEnd()));
    // Three rows dragged over, one more with the keyboard.
    QCOMPARE(copied.count(QLatin1Char('\n')), 4);
    QVERIFY2(copied.startsWith(QStringLiteral("line 0\nline 1\nline 2\nline 3\nl")),
             qPrintable(copied));

    // A triple-click takes one line, packed or not; a drag after it whole lines.
    const QPoint below = end + QPoint(0, QFontMetrics(m_pane->font()).lineSpacing());
    QTest::mouseDClick(view, Qt::LeftButton, {}, end);
    QTest::mousePress(view, Qt::LeftButton, {}, end);
    QTest::mouseMove(view, below);
    QTest::mouseRelease(view, Qt::LeftButton, {}, below);
    QTest::keyClick(m_pane, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("line 3\nline 4\n"));
}

void TestEventLog::typingAmongPackedLines()
{
    for (int i = 0; i < kManyLines; ++i)
        m_log->appendLine(QStringLiteral("L%1").arg(i));
    // The caret into the first packed line, then typing and a line break.
    QTextCursor cursor = m_pane->textCursor();
    cursor.setPosition(2);
    m_pane->setTextCursor(cursor);
    QTest::keyClicks(m_pane, QStringLiteral("xy"));
    QTest::keyClick(m_pane, Qt::Key_Return);
    QTest::keyClick(m_pane, Qt::Key_Backspace);
    QTest::keyClick(m_pane, Qt::Key_Backspace);
    for (int i = kManyLines; i < 2 * kManyLines; ++i)
        m_log->appendLine(QStringLiteral("L%1").arg(i));

    QStringList expected;
    for (int i = 0; i < 2 * kManyLines; ++i)
        expected << QStringLiteral("L%1").arg(i);
    expected[0] = QStringLiteral("L0x");
    QCOMPARE(m_log->text(), expected.join(QLatin1Char('\n')));
    QCOMPARE(m_pane->textCursor().position(), m_log->text().size());
}

void TestEventLog::loggingGoesOnAfterTheUserDeletedEverything()
{
    for (int i = 0; i < kManyLines; ++i)
        m_log->appendLine(QStringLiteral("old %1").arg(i));
    QTest::keyClick(m_pane, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(m_pane, Qt::Key_Delete);
    QCOMPARE(m_pane->toPlainText(), QString());

    QStringList expected;
    for (int i = 0; i < kManyLines; ++i) {
        expected << QStringLiteral("new %1").arg(i);
        m_log->appendLine(expected.last());
    }
    QCOMPARE(m_log->text(), expected.join(QLatin1Char('\n')));
    QVERIFY(m_pane->blockCount() < kManyLines);
}

QTEST_MAIN(TestEventLog)
#include "tst_eventlog.moc"
