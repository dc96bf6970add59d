// The end of a search: the close sequence, destruction with a stick still
// held, and a stick that goes away on its own.
#include "finderrig.h"

#include <QTest>

#include <functional>

using namespace pulvane;
using namespace pulvane::test;
namespace msg = pulvane::ant;

namespace {

const QStringList kStopLines{"Cmd - ResetSystem", "Cmd - Close"};

// Brings a rig into the phase a row names.
using RigSetUp = std::function<void(FinderRig &)>;

} // namespace

Q_DECLARE_METATYPE(RigSetUp)

class TestFinderClose : public QObject
{
    Q_OBJECT

private slots:
    void closeWhileOpen();
    void closeWhenStopped();
    void lateOpenAckHoldsClose();
    void destroy_data();
    void destroy();
    void stickVanishes();
    void messagesAfterFinderGone();
};

// The first request stops the stick and is refused; the closing timer's
// request then goes ahead.
void TestFinderClose::closeWhileOpen()
{
    FinderRig rig;
    rig.startAndOpen();
    const qsizetype before = rig.view.log.size();

    QCOMPARE(rig.finder.FormClose(), false);
    QCOMPARE(rig.view.logFrom(before), kStopLines);
    QVERIFY(rig.view.closingTimerEnabled);
    QVERIFY(rig.state().Closing);
    QVERIFY(!rig.stick().isAttached());

    QCOMPARE(rig.finder.FormClose(), true);
    rig.finder.FormDestroy();
    QCOMPARE(rig.view.logFrom(before), kStopLines);
}

void TestFinderClose::closeWhenStopped()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.finder.Btn_StopClick();
    const QStringList log = rig.view.log;

    QCOMPARE(rig.finder.FormClose(), true);
    rig.finder.FormDestroy();

    QCOMPARE(rig.view.log, log);
    QVERIFY(!rig.view.closingTimerEnabled);
}

// An open acknowledgement that arrives after the close request's STOP holds
// the window open, without a second STOP, until a close acknowledgement.
void TestFinderClose::lateOpenAckHoldsClose()
{
    FinderRig rig;
    rig.startAndOpen();
    QCOMPARE(rig.finder.FormClose(), false);
    const qsizetype before = rig.view.log.size();

    auto respond = [&rig](uint8_t answered) {
        rig.state().ResponseBuffer[0] = 0;
        rig.state().ResponseBuffer[1] = answered;
        rig.state().ResponseBuffer[2] = 0;
        rig.finder.MainEvent(0, msg::kMsgChannelResponse);
    };
    respond(msg::kMsgOpenChannel);
    QCOMPARE(rig.finder.FormClose(), false);
    QCOMPARE(rig.finder.FormClose(), false);
    QCOMPARE(rig.view.logFrom(before), QStringList{"Ack[0] - Open"});

    respond(msg::kMsgCloseChannel);
    QCOMPARE(rig.finder.FormClose(), true);
}

// Destruction releases a stick that START opened and STOP did not release,
// also while the chain was still configuring.
void TestFinderClose::destroy_data()
{
    QTest::addColumn<RigSetUp>("phase");
    QTest::addColumn<bool>("stops");

    QTest::newRow("never started") << RigSetUp([](FinderRig &) {}) << false;
    QTest::newRow("no stick found") << RigSetUp([](FinderRig &rig) {
        rig.stick().vanish();
        rig.finder.Btn_Start1Click();
    }) << false;
    QTest::newRow("configuring") << RigSetUp([](FinderRig &rig) { rig.startOnly(); }) << true;
    QTest::newRow("open") << RigSetUp([](FinderRig &rig) { rig.startAndOpen(); }) << true;
    QTest::newRow("channel closed by the stick") << RigSetUp([](FinderRig &rig) {
        rig.startAndOpen();
        rig.push(msg::channelResponse(0, msg::kMsgCloseChannel, 0));
        QVERIFY(rig.finder.FormClose());
    }) << true;
    QTest::newRow("stopped") << RigSetUp([](FinderRig &rig) {
        rig.startAndOpen();
        rig.finder.Btn_StopClick();
    }) << false;
    QTest::newRow("repeated START found none") << RigSetUp([](FinderRig &rig) {
        rig.startOnly();
        rig.sticks.refused = {0, 1, 2, 3};
        rig.finder.Btn_Start1Click();
    }) << false;
}

void TestFinderClose::destroy()
{
    QFETCH(RigSetUp, phase);
    QFETCH(bool, stops);

    FinderRig rig;
    phase(rig);
    if (QTest::currentTestFailed())
        return;
    const qsizetype before = rig.view.log.size();

    rig.finder.FormDestroy();

    QCOMPARE(rig.view.logFrom(before), stops ? kStopLines : QStringList{});
    QVERIFY(!rig.stick().isAttached());
}

// A stick that goes away mid-search, here under the channel-ID request that
// the first broadcast carries: the loss shows once that handler is done, so
// START stays enabled. Closing then stops nothing; STOP still runs and logs,
// the next START reports no stick.
void TestFinderClose::stickVanishes()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.finder.tmr_RichiestaIDTimer();
    rig.stick().setResponder([&rig](const msg::AntMessage &) {
        rig.stick().vanish();
        return QList<msg::AntMessage>{};
    });
    rig.push(msg::broadcastData(0, bytes({0, 0, 0, 0, 0, 0, 0, 0x48})));
    QCoreApplication::processEvents();
    QCOMPARE(rig.view.logFrom(rig.view.log.size() - 2), (QStringList{"USB ANT dongle lost.", ""}));
    QVERIFY(rig.view.enabled(FinderView::Button::Start));
    const qsizetype before = rig.view.log.size();

    QVERIFY(rig.finder.FormClose());
    rig.finder.FormDestroy();
    rig.finder.Btn_StopClick();
    rig.finder.Btn_Start1Click();

    QCOMPARE(rig.view.logFrom(before), (kStopLines + QStringList{"Connecting to USB ANT dongle.",
                                                                 "USB ANT dongle not found."}));
    QCOMPARE(rig.view.messages, QStringList{"USB ANT dongle not found."});
}

// A finder destroyed with its stick still held hears nothing more from it.
void TestFinderClose::messagesAfterFinderGone()
{
    FakeView view;
    ScriptedStickProvider sticks;
    ant::AntLibrary antLibrary(sticks);
    auto finder = std::make_unique<Finder>(view, antLibrary);
    finder->FormCreate(QStringLiteral("1.1.1.0"));
    finder->Btn_Start1Click();
    finder.reset();
    const qsizetype before = view.log.size();

    sticks.stick().push(msg::channelResponse(0, msg::kMsgSetNetworkKey, 0));
    sticks.stick().push(msg::broadcastData(0, bytes({0, 0, 0, 0, 0, 0, 0, 0x48})));
    sticks.stick().settle();

    QCOMPARE(view.log.size(), before);
    QVERIFY(sticks.stick().isAttached());
}

QTEST_GUILESS_MAIN(TestFinderClose)
#include "tst_finderclose.moc"
