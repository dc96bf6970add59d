// The log pane repainted piecemeal while it follows its end (TailRepaint)
// holds the very pixels of a full repaint, and repaints only the new lines.
#include "eventlog.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

using pulvane::ui::EventLog;

class TestTailRepaint : public QObject
{
    Q_OBJECT
private slots:
    void samePixelsAsAFullRepaint_data();
    void samePixelsAsAFullRepaint();
};

void TestTailRepaint::samePixelsAsAFullRepaint_data()
{
    QTest::addColumn<int>("wrapEvery"); // a line of three rows every n entries
    QTest::addColumn<QString>("before");
    // Whole-pane repaints allowed (-1: any): where the top of the view leaves
    // the document's margin, or lands in a wrapped line at another row (lines
    // alone among the pairs), Qt shifts the text by a fraction of a pixel and
    // the pane is drawn anew.
    QTest::addColumn<int>("wholePaneRepaints");
    QTest::newRow("broadcasts, across packs") << 0 << "fill" << 0;
    QTest::newRow("the pane not yet full, then full") << 0 << "" << 1;
    QTest::newRow("wrapped lines") << 3 << "fill" << -1;
    QTest::newRow("after a resize") << 3 << "resize" << -1;
    QTest::newRow("after the user typed, caret shown") << 0 << "type" << 0;
}

void TestTailRepaint::samePixelsAsAFullRepaint()
{
    QFETCH(int, wrapEvery);
    QFETCH(QString, before);
    QFETCH(int, wholePaneRepaints);
    QApplication::setCursorFlashTime(0);
    QWidget window;
    window.resize(300, 200);
    QFont font(QStringLiteral("Liberation Sans")); // as the program's window
    font.setPixelSize(11);
    window.setFont(font);
    auto *pane = new QPlainTextEdit(&window);
    pane->setGeometry(16, 16, 265, 164);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane->setFocusPolicy(Qt::ClickFocus);
    EventLog log(*pane);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    int fullPaints = 0;
    struct Watch : QObject
    {
        int *count;
        bool eventFilter(QObject *o, QEvent *e) override
        {
            if (e->type() == QEvent::Paint &&
                static_cast<QPaintEvent *>(e)->rect() == static_cast<QWidget *>(o)->rect())
                ++*count;
            return false;
        }
    } watch, barWatch;
    watch.count = &fullPaints;
    int barPaints = 0;
    barWatch.count = &barPaints;
    const auto append = [&](int n) {
        QString line = QStringLiteral("Recv(0): [00][84][00][00][%1] RF Freq:57 RxCount:%2").arg(n & 0xFF).arg(n);
        if (wrapEvery && n % wrapEvery == 0)
            line += QStringLiteral(" and a tail long enough for a third row of the pane, or more");
        if ((!wrapEvery && before != QLatin1String("type")) || n % 3)
            log.appendLineAndSeparator(line);
        else
            log.appendLine(line);
        QCoreApplication::processEvents();
    };
    const auto compare = [&](int n) {
        QCoreApplication::processEvents();
        const QImage partial = window.screen()->grabWindow(window.winId()).toImage();
        for (QWidget *widget : window.findChildren<QWidget *>())
            widget->update();
        QCoreApplication::processEvents();
        QVERIFY2(partial == window.screen()->grabWindow(window.winId()).toImage(), qPrintable(QString::number(n)));
    };
    int n = 0;
    for (; !before.isEmpty() && n < EventLog::kNewestLoose + EventLog::kLinesPerBlock; ++n)
        append(n);
    if (before == QLatin1String("resize"))
        pane->resize(231, 120);
    if (before == QLatin1String("type")) {
        pane->setFocus();
        QTest::keyClicks(pane, QStringLiteral("typed"));
    }
    compare(n);
    pane->viewport()->installEventFilter(&watch);
    pane->verticalScrollBar()->installEventFilter(&barWatch);
    for (int i = 1; i <= 54; ++i, ++n) { // across packs
        append(n);
        if (i % 9 == 0)
            compare(n);
    }
    if (wholePaneRepaints >= 0)
        QCOMPARE(fullPaints - 6, wholePaneRepaints); // 6: the comparisons' own
    QVERIFY2(barPaints - 6 < 54 / 2, "the scroll bar only when its slider moved");
}

QTEST_MAIN(TestTailRepaint)
#include "tst_tailrepaint.moc"
