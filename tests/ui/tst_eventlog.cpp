#include "eventlog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

using pulvane::ui::EventLog;

namespace {
// Stands for appendSeparator() in a row's list of operations.
const QString kSeparator = QStringLiteral("<separator>");
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
    void selectionAndCaretGivenUp();
    void undoTakesNothingBack();
    void nothingIsRemoved();

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

void TestEventLog::nothingIsRemoved()
{
    constexpr int kLines = 20000;
    for (int i = 0; i < kLines; ++i)
        m_log->appendLine(QString::number(i));
    QCOMPARE(m_pane->blockCount(), kLines);
    QCOMPARE(m_pane->document()->firstBlock().text(), QStringLiteral("0"));
    QCOMPARE(m_pane->document()->lastBlock().text(), QString::number(kLines - 1));
}

QTEST_MAIN(TestEventLog)
#include "tst_eventlog.moc"
