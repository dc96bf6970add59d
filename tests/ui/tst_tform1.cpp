#include "antlibrary.h"
#include "caretlineedit.h"
#include "exeinfo.h"
#include "labelrepaint.h"
#include "scriptedstick.h"
#include "spinedit.h"
#include "tform1.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>

using pulvane::FinderView;
using pulvane::TForm1;

namespace {

const char *const kControls[] = {
    "lbl_HR", "lbl_DeviceNumber",       "Btn_Start1", "Btn_Stop", "Btn_SaveToPC",
    "lbl1",   "seEdt_SogliaProssimita", "Label1",     "Memo1"};

struct BlinkRect : QLineEdit // what a blink of the caret repaints
{
    using QLineEdit::cursorRect;
};

} // namespace

class TestTForm1 : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void controls_data();
    void controls();
    void resizeMovesOnlyTheLog_data();
    void resizeMovesOnlyTheLog();
    void tooltips_data();
    void tooltips();
    void onlyTheSpinEditTakesTab();
    void logPane();
    void centredWhenFirstShown();
    void viewReachesTheControls();
    void idTimerNotRestartedWhileRunning();
    void closingTimerClosesTheWindow();
    void startWithoutStick();
    void partialRepaint_data();
    void partialRepaint();
    void caretBlink_data();
    void caretBlink();

private:
    template <typename T = QWidget> T *control(const char *name) const
    {
        T *w = m_form->findChild<T *>(QLatin1String(name));
        Q_ASSERT(w);
        return w;
    }
    QTimer *timer(const char *name) const { return control<QTimer>(name); }
    QString logText() const { return control<QPlainTextEdit>("Memo1")->toPlainText(); }
    QImage shown() const // once pending repaints are done
    {
        QTest::qWait(20);
        return m_form->screen()->grabWindow(m_form->winId()).toImage();
    }
    pulvane::ui::CaretLineEdit *spinField() const
    {
        return static_cast<pulvane::ui::CaretLineEdit *>(
            control<pulvane::ui::SpinEdit>("seEdt_SogliaProssimita")->lineEdit());
    }
    bool showFocused() const // the window active, the spin field focused
    {
        m_form->show();
        return QTest::qWaitForWindowActive(m_form) &&
               QTest::qWaitFor([this] { return spinField()->hasFocus(); });
    }
    QImage repaintedWhole() const // every control repainted
    {
        for (QWidget *widget : m_form->findChildren<QWidget *>())
            widget->update();
        return shown();
    }

    // A machine with no ANT stick at all.
    pulvane::test::ScriptedStickProvider *m_sticks = nullptr;
    pulvane::ant::AntLibrary *m_ant = nullptr;
    TForm1 *m_form = nullptr;
};

void TestTForm1::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestTForm1::init()
{
    m_sticks = new pulvane::test::ScriptedStickProvider;
    m_sticks->refused = {0, 1, 2, 3};
    m_ant = new pulvane::ant::AntLibrary(*m_sticks);
    m_form = new TForm1(*m_ant);
}

void TestTForm1::cleanup()
{
    delete m_form;
    delete m_ant;
    delete m_sticks;
}

void TestTForm1::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("bold");

    QTest::newRow("lbl_HR") << "lbl_HR" << QRect(16, 16, 217, 57) << "HR:" << 37 << true;
    QTest::newRow("lbl_DeviceNumber")
        << "lbl_DeviceNumber" << QRect(16, 88, 201, 57) << "ID:" << 37 << true;
    QTest::newRow("Btn_Start1") << "Btn_Start1" << QRect(296, 8, 137, 41) << "START" << 19 << true;
    QTest::newRow("Btn_Stop") << "Btn_Stop" << QRect(296, 56, 137, 41) << "STOP" << 19 << true;
    QTest::newRow("Btn_SaveToPC") << "Btn_SaveToPC" << QRect(296, 136, 137, 41) << "SAVE TO PC"
                                  << 19 << true;
    QTest::newRow("lbl1") << "lbl1" << QRect(336, 108, 49, 13) << "Sensibility:" << 11 << false;
    QTest::newRow("seEdt_SogliaProssimita")
        << "seEdt_SogliaProssimita" << QRect(392, 104, 41, 22) << "4" << 11 << false;
    QTest::newRow("Label1") << "Label1" << QRect(16, 152, 71, 13) << "Log messages:" << 11 << false;
    QTest::newRow("Memo1") << "Memo1" << QRect(16, 168, 265, 164) << "" << 11 << false;
}

void TestTForm1::controls()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);

    QWidget *w = control(name.toLatin1().constData());
    // Until START finds a stick, STOP and SAVE TO PC are off.
    QCOMPARE(w->isEnabled(), name != "Btn_Stop" && name != "Btn_SaveToPC");
    auto *label = qobject_cast<QLabel *>(w);
    if (label && pixelSize == 11) {
        // A caption keeps its place and is as large as its text in whichever
        // face is used: the preferred one or its stand-in.
        QCOMPARE(w->pos(), geometry.topLeft());
        QCOMPARE(w->size(), label->sizeHint());
        QVERIFY(w->width() >= w->fontMetrics().horizontalAdvance(text));
    } else {
        QCOMPARE(w->geometry(), geometry);
    }
    QCOMPARE(QFontInfo(w->font()).pixelSize(), pixelSize);
    QCOMPARE(w->font().bold(), bold);
    QCOMPARE(QFontInfo(w->font()).bold(), bold);

    if (label) {
        QCOMPARE(label->text(), text);
        QCOMPARE(label->alignment(), Qt::AlignLeft | Qt::AlignTop);
        QVERIFY(!label->wordWrap());
    } else if (auto *button = qobject_cast<QAbstractButton *>(w)) {
        QCOMPARE(button->text(), text);
    } else if (auto *spin = qobject_cast<pulvane::ui::SpinEdit *>(w)) {
        QCOMPARE(spin->text(), text);
    } else {
        QCOMPARE(qobject_cast<QPlainTextEdit *>(w)->toPlainText(), text);
    }
}

void TestTForm1::resizeMovesOnlyTheLog_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("memo");

    QTest::newRow("larger") << QSize(700, 500) << QRect(16, 168, 525, 330);
    QTest::newRow("wider only") << QSize(600, 334) << QRect(16, 168, 425, 164);
    QTest::newRow("smaller") << QSize(400, 300) << QRect(16, 168, 225, 130);
    QTest::newRow("back to the start") << QSize(440, 334) << QRect(16, 168, 265, 164);
}

void TestTForm1::resizeMovesOnlyTheLog()
{
    QFETCH(QSize, size);
    QFETCH(QRect, memo);

    QCOMPARE(m_form->size(), QSize(440, 334));
    QHash<QString, QRect> before;
    for (const char *name : kControls)
        before.insert(QLatin1String(name), control(name)->geometry());

    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form));
    m_form->resize(size);
    QCOMPARE(m_form->size(), size);

    for (const char *name : kControls) {
        if (qstrcmp(name, "Memo1") == 0)
            QCOMPARE(control(name)->geometry(), memo);
        else
            QCOMPARE(control(name)->geometry(), before.value(QLatin1String(name)));
    }
}

void TestTForm1::tooltips_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("toolTip");

    const QString first = QStringLiteral("This value adjust the receiving range of the program. ");
    const QString second = QStringLiteral("If more transmitters are present, reduce the "
                                          "sensibility to detect only the closer transmitters.");
    QTest::newRow("lbl1") << "lbl1" << first + QStringLiteral("\r\n") + second;
    QTest::newRow("seEdt_SogliaProssimita") << "seEdt_SogliaProssimita" << first + second;
    for (const char *name : {"lbl_HR", "lbl_DeviceNumber", "Btn_Start1", "Btn_Stop", "Btn_SaveToPC",
                             "Label1", "Memo1"})
        QTest::newRow(name) << name << QString();
}

void TestTForm1::tooltips()
{
    QFETCH(QString, name);
    QFETCH(QString, toolTip);
    QCOMPARE(control(name.toLatin1().constData())->toolTip(), toolTip);
}

void TestTForm1::onlyTheSpinEditTakesTab()
{
    QWidget *spin = control("seEdt_SogliaProssimita");
    QStringList reachable;
    for (QWidget *w : m_form->findChildren<QWidget *>()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w != spin &&
            !spin->isAncestorOf(w))
            reachable << w->objectName() + QLatin1Char('/') + w->metaObject()->className();
    }
    QCOMPARE(reachable, QStringList());
    QVERIFY(m_form->focusPolicy() == Qt::NoFocus);
    for (const char *name : {"Btn_Start1", "Btn_Stop", "Btn_SaveToPC"})
        QCOMPARE(control(name)->focusPolicy(), Qt::NoFocus);
}

void TestTForm1::logPane()
{
    auto *memo = control<QPlainTextEdit>("Memo1");
    QCOMPARE(memo->focusPolicy(), Qt::ClickFocus);
    QVERIFY(memo->tabChangesFocus());
    QVERIFY(!memo->isReadOnly());
    QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(memo->verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff);
    QCOMPARE(memo->document()->maximumBlockCount(), 0);

    // A line wider than the pane wraps instead of scrolling sideways, and the
    // wrap adds no line break to the text.
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form));
    const QString longLine =
        QStringLiteral("Cmd - SetNetworkKey(0; [XX][XX][XX][XX][XX][XX][XX][XX])"
                       " and some more words to pass the width");
    m_form->appendLine(longLine);
    QVERIFY(memo->document()->firstBlock().layout()->lineCount() > 1);
    QCOMPARE(logText(), longLine);
}

void TestTForm1::centredWhenFirstShown()
{
    QCOMPARE(m_form->palette().color(QPalette::Window), QColor(Qt::white));
    QVERIFY(m_form->autoFillBackground());
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form));
    const QRect desktop = m_form->screen()->geometry();
    const QSize outer = m_form->frameGeometry().size();
    QCOMPARE(m_form->frameGeometry().topLeft(),
             QPoint(desktop.x() + (desktop.width() - outer.width()) / 2,
                    desktop.y() + (desktop.height() - outer.height()) / 2));

    // Placed once only: the user may move it afterwards.
    m_form->move(5, 7);
    m_form->hide();
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form));
    QCOMPARE(m_form->pos(), QPoint(5, 7));
}

void TestTForm1::viewReachesTheControls()
{
    QCOMPARE(m_form->windowTitle(),
             QStringLiteral("Pulvane - Ver. ") + pulvane::version::ExeInfo().versionText());
    FinderView &view = *m_form;
    view.setTitle(QStringLiteral("Pulvane - Ver. "));
    QCOMPARE(m_form->windowTitle(), QStringLiteral("Pulvane - Ver. "));

    view.setLabel(FinderView::Label::HeartRate, QStringLiteral("HR: 72"));
    view.setLabel(FinderView::Label::DeviceNumber, QStringLiteral("ID: 54321"));
    QCOMPARE(control<QLabel>("lbl_HR")->text(), QStringLiteral("HR: 72"));
    QCOMPARE(control<QLabel>("lbl_DeviceNumber")->text(), QStringLiteral("ID: 54321"));
    QCOMPARE(control("lbl_HR")->size(), QSize(217, 57));

    view.setButtonEnabled(FinderView::Button::Start, false);
    view.setButtonEnabled(FinderView::Button::Stop, true);
    view.setButtonEnabled(FinderView::Button::SaveToPC, true);
    QVERIFY(!control("Btn_Start1")->isEnabled());
    QVERIFY(control("Btn_Stop")->isEnabled());
    QVERIFY(control("Btn_SaveToPC")->isEnabled());

    control<pulvane::ui::SpinEdit>("seEdt_SogliaProssimita")->setText(QStringLiteral("25"));
    QCOMPARE(view.proximityValue(), 25);

    view.appendLine(QStringLiteral("Cmd - Reset"));
    view.appendSeparator();
    view.appendLine(QStringLiteral("Ack - Reset"));
    QCOMPARE(logText(), QStringLiteral("Cmd - Reset\n\nAck - Reset"));
}

void TestTForm1::idTimerNotRestartedWhileRunning()
{
    QTimer *id = timer("tmr_RichiestaID");
    QVERIFY(!id->isActive());
    QCOMPARE(id->interval(), 4000);
    m_form->enableIdTimer();
    QVERIFY(id->isActive());
    const int firstRemaining = id->remainingTime();
    QTest::qWait(50);
    m_form->enableIdTimer();
    QVERIFY(id->isActive());
    QVERIFY2(id->remainingTime() <= firstRemaining - 30,
             qPrintable(QString::number(id->remainingTime())));
    m_form->disableIdTimer();
    QVERIFY(!id->isActive());
}

void TestTForm1::closingTimerClosesTheWindow()
{
    QVERIFY(!timer("tmr_Chiusura")->isActive());
    QCOMPARE(timer("tmr_Chiusura")->interval(), 1000);
    QVERIFY(!timer("tmr_Chiusura")->isSingleShot());
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form));
    m_form->enableClosingTimer();
    QVERIFY(timer("tmr_Chiusura")->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!m_form->isVisible(), 5000);
    // Nothing was open, so the close went ahead without a word in the log.
    QCOMPARE(logText(), QString());
}

void TestTForm1::startWithoutStick()
{
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form));
    m_form->appendLine(QStringLiteral("earlier"));

    QString title, text, logWhileShown;
    int buttons = 0;
    bool modal = false;
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        modal = box->isModal();
        title = box->windowTitle();
        text = box->text();
        buttons = box->buttons().size();
        logWhileShown = logText();
        box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(control("Btn_Start1"), Qt::LeftButton);

    QVERIFY(modal);
    QCOMPARE(title, QStringLiteral("Pulvane"));
    QCOMPARE(text, QStringLiteral("USB ANT dongle not found."));
    QCOMPARE(buttons, 1);
    QCOMPARE(logWhileShown, QStringLiteral("earlier\nConnecting to USB ANT dongle."));
    QCOMPARE(logText(), QStringLiteral("earlier\nConnecting to USB ANT dongle.\n"
                                       "USB ANT dongle not found."));
    QCOMPARE(m_sticks->attempts, (QList<int>{0, 1, 2, 3}));
    QVERIFY(control("Btn_Start1")->isEnabled());
    QVERIFY(!control("Btn_Stop")->isEnabled());
    QVERIFY(!control("Btn_SaveToPC")->isEnabled());
    QCOMPARE(control<QLabel>("lbl_HR")->text(), QStringLiteral("HR:"));
}

// A new text repaints the heart-rate label from its first changed character;
// a blink of the spin field's caret (no text after) away from the frame draws
// no frame, at the frame draws it. The window shows what a full repaint draws.
void TestTForm1::partialRepaint_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::addColumn<int>("caret");
    QTest::addColumn<bool>("partial"); // the label in part, the caret without the frame
    for (const auto &[before, after] :
         {std::pair("HR: 70", "HR: 71"), {"HR: 99", "HR: 100"}, {"HR: 100", "HR: 99"},
          {"HR:", "HR: 70"}, {"HR: 70", "HR:"}, {"ID: 12345", "ID: 3"}, {"ID: 1", "ID: 1j"},
          {"ID: fl", "ID: fi"}})
        QTest::addRow("%s to %s", before, after) << before << after << 1 << true;
    QTest::newRow("nothing shared") << "70" << "80" << 1 << false;
    QTest::newRow("rich text") << "HR: 70" << "HR: <b>71</b>" << 1 << false;
    QTest::newRow("caret blinks after the digit") << "HR:" << "" << 1 << true;
    QTest::newRow("caret blinks at the frame") << "HR:" << "" << 0 << false;
}

void TestTForm1::partialRepaint()
{
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(int, caret);
    QFETCH(bool, partial);
    QApplication::setCursorFlashTime(after.isEmpty() ? 1000 : 0);
    auto *edit = spinField();
    QVERIFY(showFocused());
    edit->setCursorPosition(caret);
    m_form->setLabel(FinderView::Label::HeartRate, before);
    const QRect label =
        pulvane::ui::LabelRepaint().changedRect(*control<QLabel>("lbl_HR"), before, after);
    const QRect blink = (edit->*&BlinkRect::cursorRect)();
    QCOMPARE(after.isEmpty() ? edit->frameInterior().contains(blink) : label.isValid(), partial);
    QImage last = repaintedWhole();
    for (int change = after.isEmpty() ? 2 : 1; change > 0; --change) { // blinks: caret on, off
        m_form->setLabel(FinderView::Label::HeartRate, after.isEmpty() ? before : after);
        QImage changed;
        QTRY_VERIFY((changed = shown()) != last);
        last = repaintedWhole();
        QCOMPARE(changed, last);
    }
}

// Each blink of the spin field's caret, shown by inverting the caret where
// nothing else changed and repainted otherwise, leaves the window as a full
// repaint draws it.
void TestTForm1::caretBlink_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<bool>("inverted"); // the blink is an inversion (else a repaint)
    QTest::newRow("after the digit") << "4" << 1 << false << true;
    QTest::newRow("before the digit") << "4" << 0 << false << true;
    QTest::newRow("between digits") << "10" << 1 << false << true;
    QTest::newRow("empty") << "" << 0 << false << true;
    QTest::newRow("scrolled text") << "-12,3456789012345678" << 20 << false << true;
    QTest::newRow("selection: no caret") << "4" << 1 << true << false;
    QTest::newRow("not ASCII") << QString::fromUtf8("4\u00e9") << 2 << false << false;
}

void TestTForm1::caretBlink()
{
    QFETCH(QString, text);
    QFETCH(int, cursor);
    QFETCH(bool, selected);
    QFETCH(bool, inverted);
    QApplication::setCursorFlashTime(600); // a blink every 300 ms
    auto *edit = spinField();
    QVERIFY(showFocused());
    edit->setText(text);
    edit->setCursorPosition(cursor);
    if (selected)
        edit->selectAll();
    QImage last = repaintedWhole();
    const qint64 before = edit->invertedBlinks();
    for (int blink = 0; blink < 2; ++blink) { // caret off, on
        QImage now;
        if (selected)
            QTest::qWait(300); // the timer runs, no caret is drawn
        else
            QTRY_VERIFY((now = shown()) != last);
        if (selected)
            now = shown();
        last = repaintedWhole();
        QCOMPARE(now, last);
    }
    QCOMPARE(edit->invertedBlinks() - before >= 2, inverted);
    QApplication::setCursorFlashTime(1000);
}

QTEST_MAIN(TestTForm1)
#include "tst_tform1.moc"
