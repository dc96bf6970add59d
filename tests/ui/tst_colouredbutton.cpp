#include "colouredbutton.h"

#include <QGuiApplication>
#include <QImage>
#include <QSignalSpy>
#include <QTest>

using pulvane::ui::buttonFaceColour;
using pulvane::ui::ButtonState;
using pulvane::ui::ColouredButton;

namespace {

const QColor kRed = Qt::red;
const QColor kGray(128, 128, 128);
const QColor kCaption = Qt::black;
const QColor kHighlight(0, 200, 0);
const QColor kShadow(0, 0, 200);

QSet<QPoint> pixelsOf(const QImage &image, const QColor &colour)
{
    QSet<QPoint> points;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == colour)
                points.insert({x, y});
    return points;
}

// A white window holding one START button the way the main window does.
struct Fixture
{
    QWidget window;
    ColouredButton *button;

    Fixture()
    {
        window.resize(300, 120);
        QPalette pal = window.palette();
        pal.setColor(QPalette::Window, Qt::white);
        pal.setColor(QPalette::WindowText, kCaption);
        pal.setColor(QPalette::Light, kHighlight);
        pal.setColor(QPalette::Dark, kShadow);
        window.setPalette(pal);
        window.setAutoFillBackground(true);
        button = new ColouredButton("START", &window);
        button->setGeometry(10, 10, 137, 41);
        QFont font("Liberation Sans");
        font.setPixelSize(19);
        font.setBold(true);
        // Crisp glyphs so that colours can be compared exactly.
        font.setStyleStrategy(QFont::NoAntialias);
        button->setFont(font);
        window.show();
    }

    // What is on screen where the button sits, margin included.
    QImage shot()
    {
        return window.grab(button->geometry()).toImage().convertToFormat(QImage::Format_RGB32);
    }
    QPoint inside() const { return {60, 20}; }
    QPoint outside() const { return {200, 20}; }
    void hover() { QTest::mouseMove(button, inside()); }
    void leave() { QTest::mouseMove(&window, {280, 110}); }
};

// Where the pointer and the button are when a row looks at its face.
enum class Pointer
{
    Away,
    Over,
    Pressed,
    PressedOff,  // pressed, then moved off the button
    PressedBack, // pressed, moved off and back on
    Disabled
};

} // namespace

Q_DECLARE_METATYPE(Pointer)

class TestColouredButton : public QObject
{
    Q_OBJECT
private slots:
    void faceColourRule_data();
    void faceColourRule();
    void paintedStates_data();
    void paintedStates();
    void captionNeverMoves();
    void disabledCaptionIsEngraved();
    void releaseInsideClicksOutsideDoesNot_data();
    void releaseInsideClicksOutsideDoesNot();
    void otherMouseButtonsDoNothing_data();
    void otherMouseButtonsDoNothing();
    void disabledButtonIgnoresMouse();
    void enableAndDisableWhileHovered();
    void disablingDuringPressForgetsIt();
    void noFocusNoShortcut();
};

void TestColouredButton::faceColourRule_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("hot");
    QTest::addColumn<ButtonState>("state");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("normal") << true << false << ButtonState::Up << kRed;
    QTest::newRow("hot") << true << true << ButtonState::Up << kRed;
    QTest::newRow("pressed") << true << true << ButtonState::Down << kGray;
    QTest::newRow("down but not hot") << true << false << ButtonState::Down << kRed;
    QTest::newRow("disabled") << false << false << ButtonState::Disabled << kRed;
    QTest::newRow("disabled and hot") << false << true << ButtonState::Down << kRed;
}

void TestColouredButton::faceColourRule()
{
    QFETCH(bool, enabled);
    QFETCH(bool, hot);
    QFETCH(ButtonState, state);
    QFETCH(QColor, colour);
    QCOMPARE(buttonFaceColour(enabled, hot, state), colour);
}

void TestColouredButton::paintedStates_data()
{
    QTest::addColumn<Pointer>("how");
    QTest::addColumn<QColor>("face");
    QTest::newRow("normal") << Pointer::Away << kRed;
    QTest::newRow("hot") << Pointer::Over << kRed;
    QTest::newRow("pressed") << Pointer::Pressed << kGray;
    QTest::newRow("pressed, pointer off") << Pointer::PressedOff << kRed;
    QTest::newRow("pressed, pointer back on") << Pointer::PressedBack << kGray;
    QTest::newRow("disabled") << Pointer::Disabled << kRed;
}

void TestColouredButton::paintedStates()
{
    QFETCH(Pointer, how);
    QFETCH(QColor, face);
    Fixture f;
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    f.leave();
    const bool pressed =
        how == Pointer::Pressed || how == Pointer::PressedOff || how == Pointer::PressedBack;
    const bool disabled = how == Pointer::Disabled;
    if (how != Pointer::Away && !disabled)
        f.hover();
    if (pressed)
        QTest::mousePress(f.button, Qt::LeftButton, {}, f.inside());
    if (how == Pointer::PressedOff || how == Pointer::PressedBack)
        QTest::mouseMove(f.button, f.outside());
    if (how == Pointer::PressedBack)
        QTest::mouseMove(f.button, f.inside());
    if (disabled)
        f.button->setEnabled(false);

    const QImage image = f.shot();
    QCOMPARE(image.size(), QSize(137, 41));
    // The face is the rectangle less one pixel, the margin is the window's.
    for (const QPoint p : {QPoint(1, 1), QPoint(135, 1), QPoint(1, 39), QPoint(135, 39),
                           QPoint(5, 20), QPoint(130, 20)})
        QCOMPARE(image.pixelColor(p), face);
    for (const QPoint p : {QPoint(0, 0), QPoint(136, 0), QPoint(0, 40), QPoint(136, 40),
                           QPoint(68, 0), QPoint(68, 40), QPoint(0, 20), QPoint(136, 20)})
        QCOMPARE(image.pixelColor(p), QColor(Qt::white));

    QCOMPARE(pixelsOf(image, kCaption).isEmpty(), disabled);
    QCOMPARE(pixelsOf(image, kShadow).isEmpty(), !disabled);
    if (pressed)
        QTest::mouseRelease(f.button, Qt::LeftButton, {}, f.outside());
}

void TestColouredButton::captionNeverMoves()
{
    Fixture f;
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    f.leave();
    const QSet<QPoint> normal = pixelsOf(f.shot(), kCaption);
    QVERIFY(!normal.isEmpty());
    f.hover();
    QCOMPARE(pixelsOf(f.shot(), kCaption), normal);
    QTest::mousePress(f.button, Qt::LeftButton, {}, f.inside());
    QCOMPARE(pixelsOf(f.shot(), kCaption), normal);
    QTest::mouseRelease(f.button, Qt::LeftButton, {}, f.inside());

    // Centred within the face less one pixel.
    int left = 137, right = 0, top = 41, bottom = 0;
    for (const QPoint p : normal) {
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
    }
    QVERIFY(left >= 2 && right <= 134 && top >= 2 && bottom <= 38);
    QVERIFY(qAbs((left - 2) - (134 - right)) <= 3);
}

void TestColouredButton::disabledCaptionIsEngraved()
{
    Fixture f;
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    f.leave();
    const QSet<QPoint> enabledCaption = pixelsOf(f.shot(), kCaption);
    f.button->setEnabled(false);
    const QImage image = f.shot();
    const QSet<QPoint> shadow = pixelsOf(image, kShadow);
    const QSet<QPoint> highlight = pixelsOf(image, kHighlight);

    // The shadow copy sits where the enabled caption was; the highlight copy
    // went down one pixel to the right and shows where the shadow leaves it.
    QCOMPARE(shadow, enabledCaption);
    QVERIFY(!highlight.isEmpty());
    for (const QPoint p : highlight) {
        QVERIFY2(enabledCaption.contains(p - QPoint(1, 1)), "highlight not offset by (1, 1)");
        QVERIFY(!shadow.contains(p));
    }
    for (const QPoint p : enabledCaption) {
        const QPoint shifted = p + QPoint(1, 1);
        QVERIFY(shadow.contains(shifted) || highlight.contains(shifted));
    }
}

void TestColouredButton::releaseInsideClicksOutsideDoesNot_data()
{
    QTest::addColumn<QPoint>("releaseAt");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<bool>("hotAfter");
    QTest::newRow("inside") << QPoint(60, 20) << 1 << true;
    QTest::newRow("face corner") << QPoint(135, 39) << 1 << true;
    QTest::newRow("right of the button") << QPoint(200, 20) << 0 << false;
    QTest::newRow("just below the button") << QPoint(60, 41) << 0 << false;
}

void TestColouredButton::releaseInsideClicksOutsideDoesNot()
{
    QFETCH(QPoint, releaseAt);
    QFETCH(int, clicks);
    QFETCH(bool, hotAfter);
    Fixture f;
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    QSignalSpy clicked(f.button, &ColouredButton::clicked);
    f.hover();
    QTest::mousePress(f.button, Qt::LeftButton, {}, f.inside());
    QCOMPARE(f.button->state(), ButtonState::Down);
    QTest::mouseMove(f.button, releaseAt);
    QTest::mouseRelease(f.button, Qt::LeftButton, {}, releaseAt);
    QCOMPARE(clicked.count(), clicks);
    QCOMPARE(f.button->state(), ButtonState::Up);
    QCOMPARE(f.button->isHot(), hotAfter);
    QCOMPARE(f.shot().pixelColor(5, 20), kRed);
}

void TestColouredButton::otherMouseButtonsDoNothing_data()
{
    QTest::addColumn<Qt::MouseButton>("mouseButton");
    QTest::newRow("right") << Qt::RightButton;
    QTest::newRow("middle") << Qt::MiddleButton;
}

void TestColouredButton::otherMouseButtonsDoNothing()
{
    QFETCH(Qt::MouseButton, mouseButton);
    Fixture f;
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    QSignalSpy clicked(f.button, &ColouredButton::clicked);
    f.hover();
    QTest::mousePress(f.button, mouseButton, {}, f.inside());
    QCOMPARE(f.button->state(), ButtonState::Up);
    QCOMPARE(f.shot().pixelColor(5, 20), kRed);
    QTest::mouseRelease(f.button, mouseButton, {}, f.inside());
    QTest::mouseClick(f.button, mouseButton, {}, f.inside());
    QCOMPARE(clicked.count(), 0);
}

void TestColouredButton::disabledButtonIgnoresMouse()
{
    Fixture f;
    f.button->setEnabled(false);
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    QSignalSpy clicked(f.button, &ColouredButton::clicked);
    f.hover();
    QVERIFY(!f.button->isHot());
    QTest::mousePress(f.button, Qt::LeftButton, {}, f.inside());
    QCOMPARE(f.button->state(), ButtonState::Disabled);
    QTest::mouseRelease(f.button, Qt::LeftButton, {}, f.inside());
    QCOMPARE(clicked.count(), 0);
}

void TestColouredButton::enableAndDisableWhileHovered()
{
    // Enabling asks where the real pointer is. The test's moves are events
    // only: on the Windows platform (run under Wine, whose environment
    // carries no QT_* variable, so no offscreen platform) the system's
    // pointer stays where it was.
    if (QGuiApplication::platformName() == QLatin1String("windows"))
        QSKIP("needs the system pointer to follow the test's moves");
    Fixture f;
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    f.hover();
    QVERIFY(f.button->isHot());
    f.button->setEnabled(false);
    QVERIFY(!f.button->isHot());
    QCOMPARE(f.button->state(), ButtonState::Disabled);
    f.button->setEnabled(true);
    QVERIFY(f.button->isHot());
    QCOMPARE(f.button->state(), ButtonState::Up);

    // Hot follows the pointer even when it arrived while the button was off.
    f.button->setEnabled(false);
    f.leave();
    f.hover();
    f.button->setEnabled(true);
    QVERIFY(f.button->isHot());
    f.button->setEnabled(false);
    f.leave();
    f.button->setEnabled(true);
    QVERIFY(!f.button->isHot());
}

void TestColouredButton::disablingDuringPressForgetsIt()
{
    Fixture f;
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    QSignalSpy clicked(f.button, &ColouredButton::clicked);
    f.hover();
    QTest::mousePress(f.button, Qt::LeftButton, {}, f.inside());
    f.button->setEnabled(false);
    QCOMPARE(f.shot().pixelColor(5, 20), kRed);
    f.button->setEnabled(true);
    QTest::mouseRelease(f.button, Qt::LeftButton, {}, f.inside());
    QCOMPARE(clicked.count(), 0);
    QCOMPARE(f.button->state(), ButtonState::Up);
}

void TestColouredButton::noFocusNoShortcut()
{
    Fixture f;
    f.button->setText("&GO");
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    QCOMPARE(f.button->focusPolicy(), Qt::NoFocus);
    QSignalSpy clicked(f.button, &ColouredButton::clicked);
    QTest::keyClick(&f.window, Qt::Key_G, Qt::AltModifier);
    f.button->setFocus();
    QTest::keyClick(f.button, Qt::Key_Space);
    QTest::keyClick(f.button, Qt::Key_Return);
    QCOMPARE(clicked.count(), 0);
}

QTEST_MAIN(TestColouredButton)
#include "tst_colouredbutton.moc"
