#include "spinedit.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

using pulvane::ui::SpinEdit;
using pulvane::ui::spinValueFromText;

namespace {

// A window with the spin edit and a second field to take the focus away.
struct Fixture
{
    QWidget window;
    SpinEdit *spin;
    QLineEdit *other;

    Fixture()
    {
        spin = new SpinEdit(&window);
        spin->setGeometry(10, 10, 41, 22);
        other = new QLineEdit(&window);
        other->setGeometry(10, 50, 100, 22);
        window.resize(200, 100);
        window.show();
    }
    bool ready()
    {
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        spin->lineEdit()->setFocus();
        return spin->lineEdit()->hasFocus();
    }
    QPoint arrowCentre(QAbstractButton *arrow) const { return arrow->rect().center(); }
};

} // namespace

class TestSpinEdit : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void valueFromText_data();
    void valueFromText();
    void typedCharacters_data();
    void typedCharacters();
    void pasteIsNotFiltered();
    void keysStepAndClamp_data();
    void keysStepAndClamp();
    void focusLossPullsIntoRange_data();
    void focusLossPullsIntoRange();
    void typedValueReadsUnclampedUntilLeft();
    void arrowsSitInsideRightEdge();
    void arrowClickStepsOnceOverItself();
    void heldArrowRepeats();
    void arrowPressMovesFocusIntoField_data();
    void arrowPressMovesFocusIntoField();
};

void TestSpinEdit::valueFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << "25" << 25;
    QTest::newRow("minus") << "-3" << -3;
    QTest::newRow("plus") << "+7" << 7;
    QTest::newRow("leading zeros") << "007" << 7;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("comma fraction") << "4,5" << 0;
    QTest::newRow("dot fraction") << "4.5" << 0;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("sign alone") << "-" << 0;
    QTest::newRow("two signs") << "+-3" << 0;
    QTest::newRow("sign after digits") << "3-" << 0;
    QTest::newRow("blank around") << " 5" << 0;
    QTest::newRow("hexadecimal") << "0x5" << 0;
    QTest::newRow("largest int") << "2147483647" << 2147483647;
    QTest::newRow("smallest int") << "-2147483648" << int(-2147483648LL);
    QTest::newRow("beyond int") << "2147483648" << 0;
    QTest::newRow("far beyond int") << "99999999999" << 0;
    QTest::newRow("far below int") << "-99999999999999999999999" << 0;
}

void TestSpinEdit::valueFromText()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    QCOMPARE(spinValueFromText(text), value);
    SpinEdit spin;
    spin.setText(text);
    QCOMPARE(spin.value(), value);
}

void TestSpinEdit::typedCharacters_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("beeps");
    // The field holds "4" with the cursor at its end.
    QTest::newRow("digit 0") << "en_US" << int(Qt::Key_0) << "0"
                             << "40" << false;
    QTest::newRow("digit 9") << "en_US" << int(Qt::Key_9) << "9"
                             << "49" << false;
    QTest::newRow("plus") << "en_US" << int(Qt::Key_Plus) << "+"
                          << "4+" << false;
    QTest::newRow("minus") << "en_US" << int(Qt::Key_Minus) << "-"
                           << "4-" << false;
    QTest::newRow("backspace") << "en_US" << int(Qt::Key_Backspace) << "\b"
                               << "" << false;
    QTest::newRow("escape") << "en_US" << int(Qt::Key_Escape) << "\x1b"
                            << "4" << false;
    QTest::newRow("dot, English") << "en_US" << int(Qt::Key_Period) << "."
                                  << "4." << false;
    QTest::newRow("comma, English") << "en_US" << int(Qt::Key_Comma) << ","
                                    << "4" << true;
    QTest::newRow("comma, Italian") << "it_IT" << int(Qt::Key_Comma) << ","
                                    << "4," << false;
    QTest::newRow("dot, Italian") << "it_IT" << int(Qt::Key_Period) << "."
                                  << "4" << true;
    QTest::newRow("return") << "en_US" << int(Qt::Key_Return) << "\r"
                            << "4" << true;
    QTest::newRow("keypad enter") << "en_US" << int(Qt::Key_Enter) << "\r"
                                  << "4" << true;
    QTest::newRow("letter") << "en_US" << int(Qt::Key_A) << "a"
                            << "4" << true;
    QTest::newRow("space") << "en_US" << int(Qt::Key_Space) << " "
                           << "4" << true;
    QTest::newRow("slash") << "en_US" << int(Qt::Key_Slash) << "/"
                           << "4" << true;
    QTest::newRow("accented") << "en_US" << int(Qt::Key_Eacute) << "é"
                              << "4" << true;
    QTest::newRow("arabic-indic digit") << "en_US" << int(Qt::Key_unknown) << "\u0663"
                                        << "4" << true;
}

void TestSpinEdit::typedCharacters()
{
    QFETCH(QString, locale);
    QFETCH(int, key);
    QFETCH(QString, typed);
    QFETCH(QString, after);
    QFETCH(bool, beeps);
    QLocale::setDefault(QLocale(locale));
    SpinEdit spin;
    spin.lineEdit()->end(false);
    QSignalSpy beep(&spin, &SpinEdit::rejectedKey);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, typed);
    QApplication::sendEvent(spin.lineEdit(), &press);
    QCOMPARE(spin.text(), after);
    QCOMPARE(beep.count(), beeps ? 1 : 0);
}

void TestSpinEdit::pasteIsNotFiltered()
{
    Fixture f;
    QVERIFY(f.ready());
    QSignalSpy beep(f.spin, &SpinEdit::rejectedKey);
    f.spin->lineEdit()->selectAll();
    f.spin->lineEdit()->insert("x 7");
    QTest::keyClick(f.spin->lineEdit(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(f.spin->lineEdit(), Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(f.spin->text(), QString());
    QTest::keyClick(f.spin->lineEdit(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(f.spin->text(), QString("x 7"));
    QCOMPARE(beep.count(), 0);
}

void TestSpinEdit::keysStepAndClamp_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("after");
    QTest::newRow("up from 4") << "4" << int(Qt::Key_Up) << "5";
    QTest::newRow("down from 4") << "4" << int(Qt::Key_Down) << "3";
    QTest::newRow("up at 10") << "10" << int(Qt::Key_Up) << "10";
    QTest::newRow("down at 0") << "0" << int(Qt::Key_Down) << "0";
    QTest::newRow("up from 25") << "25" << int(Qt::Key_Up) << "10";
    QTest::newRow("down from 25") << "25" << int(Qt::Key_Down) << "10";
    QTest::newRow("down from -3") << "-3" << int(Qt::Key_Down) << "0";
    QTest::newRow("up from -3") << "-3" << int(Qt::Key_Up) << "0";
    QTest::newRow("up from +7") << "+7" << int(Qt::Key_Up) << "8";
    QTest::newRow("up from a fraction") << "4,5" << int(Qt::Key_Up) << "1";
    QTest::newRow("up from empty") << "" << int(Qt::Key_Up) << "1";
    QTest::newRow("down from largest int") << "2147483647" << int(Qt::Key_Down) << "10";
}

void TestSpinEdit::keysStepAndClamp()
{
    QFETCH(QString, text);
    QFETCH(int, key);
    QFETCH(QString, after);
    SpinEdit spin;
    spin.setText(text);
    QSignalSpy beep(&spin, &SpinEdit::rejectedKey);
    QTest::keyClick(spin.lineEdit(), Qt::Key(key));
    QCOMPARE(spin.text(), after);
    QCOMPARE(beep.count(), 0);
}

void TestSpinEdit::focusLossPullsIntoRange_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("after");
    QTest::newRow("above") << "25"
                           << "10";
    QTest::newRow("below") << "-3"
                           << "0";
    QTest::newRow("in range with sign") << "+7"
                                        << "+7";
    QTest::newRow("bounds stay") << "10"
                                 << "10";
    QTest::newRow("fraction stays") << "4" + QLocale().decimalPoint() + "5"
                                    << "4" + QLocale().decimalPoint() + "5";
    QTest::newRow("empty stays") << ""
                                 << "";
    QTest::newRow("beyond int stays") << "99999999999"
                                      << "99999999999";
}

void TestSpinEdit::focusLossPullsIntoRange()
{
    QFETCH(QString, text);
    QFETCH(QString, after);
    Fixture f;
    QVERIFY(f.ready());
    f.spin->setText(text);
    f.other->setFocus();
    QVERIFY(f.other->hasFocus());
    QCOMPARE(f.spin->text(), after);
}

void TestSpinEdit::typedValueReadsUnclampedUntilLeft()
{
    Fixture f;
    QVERIFY(f.ready());
    QSignalSpy beep(f.spin, &SpinEdit::rejectedKey);
    f.spin->lineEdit()->selectAll();
    QTest::keyClicks(f.spin->lineEdit(), "25");
    QCOMPARE(f.spin->value(), 25);
    // A message box or another application taking the focus is not leaving
    // the field: the typed value stays until another control gets the focus.
    for (const Qt::FocusReason reason : {Qt::ActiveWindowFocusReason, Qt::PopupFocusReason}) {
        QFocusEvent away(QEvent::FocusOut, reason);
        QApplication::sendEvent(f.spin->lineEdit(), &away);
        QCOMPARE(f.spin->text(), QString("25"));
    }
    QTest::mouseClick(f.other, Qt::LeftButton);
    QVERIFY(f.other->hasFocus());
    QCOMPARE(f.spin->text(), QString("10"));

    // 4, the separator, 5: all accepted, reads 0, left alone on leaving.
    const QString separator = QLocale().decimalPoint();
    f.spin->lineEdit()->setFocus();
    f.spin->lineEdit()->selectAll();
    QTest::keyClicks(f.spin->lineEdit(), "4" + separator + "5");
    QCOMPARE(f.spin->text(), "4" + separator + "5");
    QCOMPARE(f.spin->value(), 0);
    f.other->setFocus();
    QCOMPARE(f.spin->text(), "4" + separator + "5");
    QCOMPARE(beep.count(), 0);
}

void TestSpinEdit::arrowsSitInsideRightEdge()
{
    Fixture f;
    QVERIFY(f.ready());
    const QRect field(QPoint(), f.spin->size());
    const QRect up(f.spin->upButton()->mapTo(f.spin, QPoint()), f.spin->upButton()->size());
    const QRect down(f.spin->downButton()->mapTo(f.spin, QPoint()), f.spin->downButton()->size());
    QCOMPARE(up.width(), 15);
    QCOMPARE(down.width(), 15);
    QCOMPARE(up.left(), down.left());
    QVERIFY(up.bottom() < down.top());
    QVERIFY(field.contains(up) && field.contains(down));
    QVERIFY(field.right() - up.right() <= 3);
}

void TestSpinEdit::arrowClickStepsOnceOverItself()
{
    Fixture f;
    QVERIFY(f.ready());
    QAbstractButton *up = f.spin->upButton();
    QAbstractButton *down = f.spin->downButton();
    QTest::mouseClick(up, Qt::LeftButton, {}, f.arrowCentre(up));
    QCOMPARE(f.spin->text(), QString("5"));
    QTest::mouseClick(down, Qt::LeftButton, {}, f.arrowCentre(down));
    QTest::mouseClick(down, Qt::LeftButton, {}, f.arrowCentre(down));
    QCOMPARE(f.spin->text(), QString("3"));

    // Released away from the arrow: no step.
    QTest::mousePress(up, Qt::LeftButton, {}, f.arrowCentre(up));
    QTest::mouseMove(up, QPoint(60, 60));
    QTest::mouseRelease(up, Qt::LeftButton, {}, QPoint(60, 60));
    QCOMPARE(f.spin->text(), QString("3"));

    f.spin->setText("10");
    QTest::mouseClick(up, Qt::LeftButton, {}, f.arrowCentre(up));
    QCOMPARE(f.spin->text(), QString("10"));
    f.spin->setText("0");
    QTest::mouseClick(down, Qt::LeftButton, {}, f.arrowCentre(down));
    QCOMPARE(f.spin->text(), QString("0"));
}

void TestSpinEdit::heldArrowRepeats()
{
    Fixture f;
    QVERIFY(f.ready());
    QAbstractButton *up = f.spin->upButton();
    QCOMPARE(up->autoRepeatDelay(), 400);
    QCOMPARE(up->autoRepeatInterval(), 100);
    f.spin->setText("0");
    QTest::mousePress(up, Qt::LeftButton, {}, f.arrowCentre(up));
    QCOMPARE(f.spin->value(), 0);
    // About 550 ms: the step at 400 ms and the one at 500 ms; timers may slip.
    QTest::qWait(550);
    const int held = f.spin->value();
    QVERIFY2(held >= 1 && held <= 3, qPrintable(QString::number(held)));
    QTest::mouseRelease(up, Qt::LeftButton, {}, f.arrowCentre(up));
    QCOMPARE(f.spin->value(), held + 1);
    // Nothing more once released.
    QTest::qWait(250);
    QCOMPARE(f.spin->value(), held + 1);
}

void TestSpinEdit::arrowPressMovesFocusIntoField_data()
{
    QTest::addColumn<bool>("upArrow");
    QTest::newRow("up") << true;
    QTest::newRow("down") << false;
}

void TestSpinEdit::arrowPressMovesFocusIntoField()
{
    QFETCH(bool, upArrow);
    Fixture f;
    QVERIFY(f.ready());
    f.spin->setText("25");
    f.other->setFocus();
    QCOMPARE(f.spin->text(), QString("10"));
    QAbstractButton *arrow = upArrow ? f.spin->upButton() : f.spin->downButton();
    QTest::mousePress(arrow, Qt::LeftButton, {}, f.arrowCentre(arrow));
    QVERIFY(f.spin->lineEdit()->hasFocus());
    QTest::mouseRelease(arrow, Qt::LeftButton, {}, f.arrowCentre(arrow));
    QCOMPARE(f.spin->text(), upArrow ? QString("10") : QString("9"));
    QVERIFY(f.spin->lineEdit()->hasFocus());
}

QTEST_MAIN(TestSpinEdit)
#include "tst_spinedit.moc"
