// The window's repaints that cover less than Qt's own, for a new label text
// and for a blink of the spin field's caret, leave the very pixels that a
// full repaint draws.
#include "caretlineedit.h"
#include "scriptedstick.h"
#include "spinedit.h"
#include "windowrig.h"

#include <QPaintEvent>
#include <QProxyStyle>
#include <QScreen>

using pulvane::FinderView;
using pulvane::ui::CaretLineEdit;
using pulvane::ui::SpinEdit;
using Rig = pulvane::test::WindowRig<pulvane::test::ScriptedStickProvider>;

namespace {

// The window as the screen shows it once pending repaints are done.
QImage shown(QWidget &window)
{
    QTest::qWait(20);
    return window.screen()->grabWindow(window.winId()).toImage();
}

QImage repaintedWhole(QWidget &window)
{
    window.update();
    for (QWidget *widget : window.findChildren<QWidget *>())
        widget->update();
    return shown(window);
}

// The regions of the paint events a widget receives.
struct PaintRegions : QObject
{
    QList<QRegion> seen;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            seen << static_cast<QPaintEvent *>(event)->region();
        return false;
    }
};

} // namespace

class TestPartialRepaint : public QObject
{
    Q_OBJECT
private slots:
    void labelText_data();
    void labelText();
    void caretBlink_data();
    void caretBlink();
};

void TestPartialRepaint::labelText_data()
{
    QTest::addColumn<FinderView::Label>("label");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("partial"); // less than the label's rectangle repainted
    const auto hr = FinderView::Label::HeartRate;
    const auto id = FinderView::Label::DeviceNumber;
    QTest::newRow("last digit") << hr << "HR: 70" << "HR: 71" << true;
    QTest::newRow("a digit more") << hr << "HR: 99" << "HR: 100" << true;
    QTest::newRow("a digit less") << hr << "HR: 100" << "HR: 99" << true;
    QTest::newRow("a first value") << hr << "HR:" << "HR: 70" << true;
    QTest::newRow("the value gone") << hr << "HR: 70" << "HR:" << true;
    QTest::newRow("device number") << id << "ID: 12345" << "ID: 12346" << true;
    QTest::newRow("another device") << id << "ID: 12345" << "ID: 3" << true;
    QTest::newRow("a glyph reaching left") << id << "ID: 1" << "ID: 1j" << true;
    QTest::newRow("kerned pair") << id << "ID: 7" << "ID: 7." << true;
    QTest::newRow("within a word") << id << "ID: fl" << "ID: fi" << true;
    QTest::newRow("word from the start") << hr << "HR" << "HX" << false;
    QTest::newRow("nothing shared") << hr << "70" << "80" << false;
    QTest::newRow("rich text") << hr << "HR: 70" << "HR: <b>71</b>" << false;
    QTest::newRow("beyond ASCII") << hr << "HR: 70" << "HR: 7\u00e9" << false;
}

void TestPartialRepaint::labelText()
{
    QFETCH(FinderView::Label, label);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(bool, partial);
    Rig rig;
    QVERIFY(rig.show());
    QVERIFY(QTest::qWaitForWindowActive(&rig.form));
    auto *widget = rig.control<QLabel>(label == FinderView::Label::HeartRate ? "lbl_HR"
                                                                           : "lbl_DeviceNumber");
    rig.form.setLabel(label, before);
    shown(rig.form);
    PaintRegions paints;
    widget->installEventFilter(&paints);
    rig.form.setLabel(label, after);
    QCOMPARE(widget->text(), after);
    const QImage changed = shown(rig.form);
    QVERIFY(!paints.seen.isEmpty());
    QCOMPARE(paints.seen.first().boundingRect() != widget->rect(), partial);
    QCOMPARE(changed, repaintedWhole(rig.form));
}

void TestPartialRepaint::caretBlink_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("caret");
    QTest::addColumn<int>("height"); // of the field
    QTest::addColumn<bool>("frameSkipped");
    QTest::newRow("after the digit") << "4" << 1 << 22 << true;
    QTest::newRow("before the digit, reaching the frame") << "4" << 0 << 22 << false;
    QTest::newRow("after two digits") << "10" << 2 << 22 << true;
    QTest::newRow("a field too low for its caret") << "4" << 1 << 16 << false;
}

void TestPartialRepaint::caretBlink()
{
    QFETCH(QString, text);
    QFETCH(int, caret);
    QFETCH(int, height);
    QFETCH(bool, frameSkipped);
    QApplication::setCursorFlashTime(1000);
    Rig rig;
    auto *spin = rig.control<SpinEdit>("seEdt_SogliaProssimita");
    auto *edit = static_cast<CaretLineEdit *>(spin->lineEdit());
    QVERIFY(qobject_cast<QProxyStyle *>(edit->style())); // the frame skipped under Fusion
    spin->resize(spin->width(), height);
    QVERIFY(rig.show());
    QVERIFY(QTest::qWaitForWindowActive(&rig.form));
    QTRY_VERIFY(edit->hasFocus());
    edit->setText(text);
    edit->setCursorPosition(caret);
    repaintedWhole(rig.form);
    PaintRegions paints;
    edit->installEventFilter(&paints);
    for (int blink = 0; blink < 2; ++blink) { // caret shown, then hidden or the reverse
        paints.seen.clear();
        QTRY_VERIFY(!paints.seen.isEmpty());
        QCOMPARE(edit->frameInterior().contains(paints.seen.first().boundingRect()), frameSkipped);
        const QImage blinked = shown(rig.form);
        paints.seen.clear();
        QCOMPARE(blinked, repaintedWhole(rig.form));
        QCOMPARE(paints.seen.first().boundingRect(), edit->rect());
    }
}

QTEST_MAIN(TestPartialRepaint)
#include "tst_partialrepaint.moc"
