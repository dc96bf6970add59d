// The log pane repainted piecemeal while it follows its end (TailRepaint)
// must hold the very pixels a full repaint gives, and repaint only the new
// lines.
#include "eventlog.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

using pulvane::ui::EventLog;

namespace {

// Counts what a widget paints.
class PaintWatch : public QObject
{
public:
    explicit PaintWatch(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;
    int fullPaints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            if (static_cast<QPaintEvent *>(event)->rect() == static_cast<QWidget *>(watched)->rect())
                ++fullPaints;
        }
        return false;
    }
};

QString entry(int n, bool wrapped)
{
    if (wrapped && n % 3 == 0)
        return QStringLiteral("Fail(%1) - a line long enough to need more than one row of the "
                              "pane, and here and there even a third one")
            .arg(n);
    return QStringLiteral("Recv(0): [00][84][00][00][%1] RF Freq:57 RxCount:%2")
        .arg(n & 0xFF, 2, 16, QLatin1Char('0'))
        .arg(n);
}

} // namespace

class TestTailRepaint : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setCursorFlashTime(0); }
    void init();
    void cleanup();
    void samePixelsAsAFullRepaint_data();
    void samePixelsAsAFullRepaint();

private:
    // The window's pixels as the partial repaints left them, and after all
    // of it was repainted.
    void compareWithFullRepaint(const QString &when);
    void settle();

    QWidget *m_window = nullptr;
    QPlainTextEdit *m_pane = nullptr;
    EventLog *m_log = nullptr;
};

void TestTailRepaint::init()
{
    m_window = new QWidget;
    m_pane = new QPlainTextEdit(m_window);
    m_pane->setGeometry(16, 16, 265, 164);
    m_pane->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pane->setFocusPolicy(Qt::ClickFocus);
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(11);
    m_window->setFont(font);
    m_window->resize(300, 200);
    m_log = new EventLog(*m_pane);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestTailRepaint::cleanup()
{
    delete m_log;
    delete m_window;
}

void TestTailRepaint::settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

void TestTailRepaint::compareWithFullRepaint(const QString &when)
{
    settle();
    QScreen *screen = m_window->screen();
    const QImage partial = screen->grabWindow(m_window->winId()).toImage();
    for (QWidget *widget : m_window->findChildren<QWidget *>())
        widget->update();
    m_window->update();
    settle();
    const QImage full = screen->grabWindow(m_window->winId()).toImage();
    QVERIFY2(!partial.isNull() && partial == full, qPrintable(when));
}

void TestTailRepaint::samePixelsAsAFullRepaint_data()
{
    QTest::addColumn<bool>("wrapped");
    QTest::addColumn<QString>("before"); // what happens before the appends watched
    // Lines alone among the entries of line and separator, which changes
    // where the top of the view falls in a wrapped line: Qt then moves the
    // text by a fraction of a pixel, and the whole pane is drawn anew.
    QTest::addColumn<bool>("alone");
    QTest::addColumn<int>("wholePaneRepaints");

    QTest::newRow("broadcasts") << false << "fill" << false << 0;
    QTest::newRow("a few lines, the pane not yet full") << false << "" << true << 0;
    QTest::newRow("across packs, lines alone") << false << "fill" << true << 1;
    QTest::newRow("wrapped lines across packs") << true << "fill" << true << -1;
    QTest::newRow("after a resize") << true << "resize" << true << -1;
    QTest::newRow("after the user typed, caret shown") << false << "type" << true << 1;
}

void TestTailRepaint::samePixelsAsAFullRepaint()
{
    QFETCH(bool, wrapped);
    QFETCH(QString, before);
    QFETCH(bool, alone);
    QFETCH(int, wholePaneRepaints);

    int n = 0;
    if (!before.isEmpty()) {
        for (; n < EventLog::kNewestLoose + EventLog::kLinesPerBlock; ++n)
            m_log->appendLineAndSeparator(entry(n, wrapped));
    }
    if (before == QLatin1String("resize"))
        m_pane->resize(231, 120);
    if (before == QLatin1String("type")) {
        m_pane->setFocus();
        QTest::keyClicks(m_pane, QStringLiteral("typed"));
    }
    compareWithFullRepaint(QStringLiteral("set-up"));

    PaintWatch viewport(m_pane->viewport());
    PaintWatch bar(m_pane->verticalScrollBar());
    PaintWatch frame(m_pane);
    // Packs come every kLinesPerBlock lines, entries are two lines each.
    const int entries = 3 * EventLog::kLinesPerBlock / 2 + 5;
    for (int i = 0; i < entries; ++i, ++n) {
        if (!alone || i % 3)
            m_log->appendLineAndSeparator(entry(n, wrapped));
        else
            m_log->appendLine(entry(n, wrapped));
        settle();
        if (i % 9 == 8)
            compareWithFullRepaint(QStringLiteral("entry %1").arg(n));
    }
    compareWithFullRepaint(QStringLiteral("the end"));
    // Besides those of the comparisons, no repaint covered the whole pane.
    const int comparisons = entries / 9 + 1;
    if (wholePaneRepaints >= 0)
        QCOMPARE(viewport.fullPaints - comparisons, wholePaneRepaints);
    QVERIFY2(viewport.paints >= entries, "every append repaints its lines");
    if (!before.isEmpty()) {
        QVERIFY2(bar.paints - comparisons < entries / 2, qPrintable(QString::number(bar.paints)));
        QVERIFY2(frame.paints <= bar.paints, qPrintable(QString::number(frame.paints)));
    }
}

QTEST_MAIN(TestTailRepaint)
#include "tst_tailrepaint.moc"
