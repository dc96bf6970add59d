// Channel events: the link statistics and their log lines, the reopen after
// a lost transmitter, broadcasts with the heart rate and the button swap, and
// the channel-ID request that rides on a broadcast.
#include "finderrig.h"

#include <QTest>

using namespace pulvane;
using namespace pulvane::test;
namespace msg = pulvane::ant;

namespace {

const QString kNotice = QStringLiteral("It should call \"HandleInterference\". Removed from cose.");

constexpr uint8_t kSearchTimeout = 1;
constexpr uint8_t kRxFail = 2;
constexpr uint8_t kTransferCompleted = 5;
constexpr uint8_t kTransferFailed = 6;
constexpr uint8_t kDropToSearch = 8;
constexpr uint8_t kBroadcast = 0x9A;
constexpr uint8_t kAcknowledged = 0x9B;

const QByteArray kExamplePayload = bytes({0x04, 0x8C, 0x2F, 0x1D, 0xC6, 0x8E, 0x20, 0x48});

void fillPayload(FinderState &state, uint8_t channel, const QByteArray &payload)
{
    state.ChannelEventBuffer[0] = channel;
    for (int i = 0; i < 8; ++i)
        state.ChannelEventBuffer[i + 1] = uint8_t(payload.at(i));
}

int requestsSent(const ScriptedStick &stick)
{
    return int(stick.written().count(msg::requestMessage(0, msg::kMsgChannelId)));
}

} // namespace

class TestChannelEvents : public QObject
{
    Q_OBJECT

private slots:
    void receiveFailuresReachLimit();
    void transferCreditIsCapped();
    void failedTransferRun();
    void dropWithoutCreditDoesNotReopen();
    void dropWithCreditReopensOnce();
    void broadcastsNeverArmReopen();
    void firstBroadcast();
    void laterBroadcastsLeaveButtons();
    void heartRate_data();
    void heartRate();
    void countersAcrossRestart();
    void detailLinesGated_data();
    void detailLinesGated();
    void unhandledCodes_data();
    void unhandledCodes();
    void idRequestRidesOnNextBroadcast();
    void idRequestWaitsForNextRun();
    void idTimerStillRunningAtNextOpen();
    void idRequestGoesToChannelZero();
};

void TestChannelEvents::receiveFailuresReachLimit()
{
    FinderRig rig;
    for (int i = 1; i <= 9; ++i)
        QVERIFY2(!rig.finder.FrameChannelEvent(0, kRxFail), qPrintable(QString::number(i)));
    for (int i = 10; i <= 14; ++i)
        QVERIFY2(rig.finder.FrameChannelEvent(0, kRxFail), qPrintable(QString::number(i)));
    QCOMPARE(rig.state().NoConnectCount, 14.0f);
    QVERIFY(rig.view.log.isEmpty());
}

void TestChannelEvents::transferCreditIsCapped()
{
    FinderRig rig;
    for (int i = 0; i < 40; ++i)
        QVERIFY(rig.finder.FrameChannelEvent(0, kTransferCompleted));
    QCOMPARE(rig.state().RxCount, 19);
    QVERIFY(rig.view.log.isEmpty());
}

void TestChannelEvents::failedTransferRun()
{
    FinderRig rig;
    rig.state().RxCount = 1;

    QCOMPARE(rig.finder.FrameChannelEvent(0, kTransferFailed), false);
    QCOMPARE(rig.state().RxCount, 0);
    QCOMPARE(double(rig.state().NoConnectCount), double(234.50743f));
    QCOMPARE(rig.view.log, QStringList{"Ack Fail RF Freq:57 RxCount:0 NoConnectCount:235"});

    for (int i = 2; i <= 10; ++i)
        rig.finder.FrameChannelEvent(0, kTransferFailed);
    QCOMPARE(double(rig.state().NoConnectCount), double(243.50743f));
    QCOMPARE(rig.view.log.last(), "Ack Fail RF Freq:57 RxCount:0 NoConnectCount:244");
    QCOMPARE(rig.view.log.size(), 10);
    QVERIFY(!rig.view.log.contains(kNotice));

    rig.finder.FrameChannelEvent(0, kTransferFailed);
    QCOMPARE(rig.view.logFrom(10),
             (QStringList{kNotice, "Ack Fail RF Freq:57 RxCount:0 NoConnectCount:0"}));
    QCOMPARE(rig.state().NoConnectCount, 0.0f);
    QCOMPARE(rig.state().RxCount, 0);
}

void TestChannelEvents::dropWithoutCreditDoesNotReopen()
{
    FinderRig rig;
    rig.startAndOpen();
    const qsizetype before = rig.view.log.size();
    rig.stick().clearRecord();
    rig.state().OpenRequested = true;

    rig.push(msg::channelEvent(0, kDropToSearch));
    rig.push(msg::channelEvent(0, kSearchTimeout));

    QCOMPARE(rig.view.logFrom(before), (QStringList{"Drop to Search", kNotice, "Search Timeout"}));
    QVERIFY(rig.stick().written().isEmpty());
    QVERIFY(!rig.state().LinkActive);
    QVERIFY(!rig.state().OpenRequested);
    QVERIFY(rig.state().ChannelOpen);
}

void TestChannelEvents::dropWithCreditReopensOnce()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.state().RxCount = 3;
    const qsizetype before = rig.view.log.size();
    rig.stick().clearRecord();

    rig.push(msg::channelEvent(0, kDropToSearch));
    rig.push(msg::channelEvent(0, kSearchTimeout));

    // The stick acknowledges the reopen like the first open.
    QCOMPARE(rig.view.logFrom(before),
             (QStringList{kNotice, "Drop to Search", "Cmd - OpenChannel(0)", "", "Search Timeout",
                          "Ack[0] - Open"}));
    QCOMPARE(rig.stick().writtenFrames(), QStringList{"A4 01 4B 00 EE"});
    QCOMPARE(rig.state().RxCount, 0);
    QVERIFY(rig.state().LinkActive);

    // The reopen was used up: the next timeout gives up.
    rig.push(msg::channelEvent(0, kSearchTimeout));
    QCOMPARE(rig.view.log.mid(rig.view.log.size() - 2), (QStringList{kNotice, "Search Timeout"}));
    QCOMPARE(rig.stick().written().size(), 1);
    QVERIFY(!rig.state().LinkActive);
}

void TestChannelEvents::broadcastsNeverArmReopen()
{
    FinderRig rig;
    for (int i = 0; i < 5; ++i)
        rig.finder.FrameChannelEvent(0, kBroadcast);
    QCOMPARE(rig.state().RxCount, 0);
    rig.finder.FrameChannelEvent(0, kDropToSearch);
    QVERIFY(!rig.state().ReopenAfterTimeout);
}

void TestChannelEvents::firstBroadcast()
{
    FinderRig rig;
    rig.startAndOpen();
    QVERIFY(rig.view.enabled(FinderView::Button::Start));
    const qsizetype before = rig.view.log.size();

    rig.push(msg::broadcastData(0, kExamplePayload));

    QCOMPARE(rig.view.logFrom(before),
             (QStringList{"Recv(0): [04][8C][2F][1D][C6][8E][20][48] RF Freq:57 RxCount:1", ""}));
    QCOMPARE(rig.view.label(FinderView::Label::HeartRate), "HR: 72");
    QCOMPARE(rig.state().HeartRate, 72.0);
    QVERIFY(rig.view.enabled(FinderView::Button::Stop));
    QVERIFY(!rig.view.enabled(FinderView::Button::Start));
    QVERIFY(!rig.state().FirstDataPending);
}

// After STOP, START stays enabled through every later broadcast.
void TestChannelEvents::laterBroadcastsLeaveButtons()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.push(msg::broadcastData(0, kExamplePayload));
    rig.finder.Btn_StopClick();
    rig.startAndOpen();

    rig.push(msg::broadcastData(0, kExamplePayload));
    rig.push(msg::broadcastData(0, kExamplePayload));

    QVERIFY(rig.view.enabled(FinderView::Button::Start));
    QVERIFY(rig.view.enabled(FinderView::Button::Stop));
}

void TestChannelEvents::heartRate_data()
{
    QTest::addColumn<uint8_t>("last");
    QTest::addColumn<QString>("label");

    QTest::newRow("0x00") << uint8_t(0x00) << "HR: 0";
    QTest::newRow("0x48") << uint8_t(0x48) << "HR: 72";
    QTest::newRow("0xFF") << uint8_t(0xFF) << "HR: 255";
}

void TestChannelEvents::heartRate()
{
    QFETCH(uint8_t, last);
    QFETCH(QString, label);

    FinderRig rig;
    QByteArray payload = kExamplePayload;
    payload[7] = char(last);
    fillPayload(rig.state(), 0, payload);

    QCOMPARE(rig.finder.FrameChannelEvent(0, kBroadcast), false);
    QCOMPARE(rig.view.label(FinderView::Label::HeartRate), label);
}

void TestChannelEvents::countersAcrossRestart()
{
    FinderRig rig;
    rig.startAndOpen();
    for (int i = 0; i < 3; ++i)
        rig.push(msg::broadcastData(0, kExamplePayload));
    for (int i = 0; i < 2; ++i)
        rig.push(msg::acknowledgedData(0, kExamplePayload));
    QCOMPARE(rig.state().BroadcastRxCount, 3);
    QCOMPARE(rig.state().AckRxCount, 2);

    rig.finder.Btn_StopClick();
    QCOMPARE(rig.state().AckRxCount, 2);
    rig.startAndOpen();
    QCOMPARE(rig.state().AckRxCount, 0);

    rig.push(msg::broadcastData(0, kExamplePayload));
    QCOMPARE(rig.state().BroadcastRxCount, 4);
    QCOMPARE(rig.view.log.at(rig.view.log.size() - 2),
             "Recv(0): [04][8C][2F][1D][C6][8E][20][48] RF Freq:57 RxCount:4");
}

// Receive failures and acknowledged data are logged only with LogRxDetail.
void TestChannelEvents::detailLinesGated_data()
{
    QTest::addColumn<bool>("detail");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("off") << false << QStringList{};
    QTest::newRow("on") << true
                        << QStringList{"Rx Fail RF Freq:57 NoConnectCount:0", "",
                                       "Rx Fail RF Freq:57 NoConnectCount:1", "",
                                       "Rx Ack(0): [04][8C][2F][1D][C6][8E][20][48] RxCount:1"};
}

void TestChannelEvents::detailLinesGated()
{
    QFETCH(bool, detail);
    QFETCH(QStringList, lines);

    FinderRig rig;
    rig.state().LogRxDetail = detail;
    fillPayload(rig.state(), 0, kExamplePayload);

    rig.finder.FrameChannelEvent(0, kRxFail);
    rig.finder.FrameChannelEvent(0, kRxFail);
    QCOMPARE(rig.finder.FrameChannelEvent(0, kAcknowledged), false);

    QCOMPARE(rig.view.log, lines);
    QCOMPARE(rig.state().RxCount, 1);
    QCOMPARE(rig.state().NoConnectCount, 0.0f);
}

void TestChannelEvents::unhandledCodes_data()
{
    QTest::addColumn<uint8_t>("code");
    QTest::newRow("channel closed") << uint8_t(7);
    QTest::newRow("transmit") << uint8_t(3);
    QTest::newRow("burst") << uint8_t(0x9C);
    QTest::newRow("collision") << uint8_t(9);
}

void TestChannelEvents::unhandledCodes()
{
    QFETCH(uint8_t, code);

    FinderRig rig;
    rig.state().RxCount = 2;
    rig.state().NoConnectCount = 3.0f;
    rig.state().ReopenAfterTimeout = true;

    QCOMPARE(rig.finder.FrameChannelEvent(0, code), true);

    QCOMPARE(rig.state().RxCount, 2);
    QCOMPARE(rig.state().NoConnectCount, 3.0f);
    QVERIFY(rig.state().ReopenAfterTimeout);
    QVERIFY(rig.view.log.isEmpty());
}

// The timer fires once; the request leaves with the next broadcast, after its
// line and heart rate, and the answer sets the ID.
void TestChannelEvents::idRequestRidesOnNextBroadcast()
{
    FinderRig rig;
    rig.startAndOpen();
    QVERIFY(rig.view.idTimerRunning);
    rig.push(msg::broadcastData(0, kExamplePayload));
    QCOMPARE(requestsSent(rig.stick()), 0);

    rig.finder.tmr_RichiestaIDTimer();
    QVERIFY(!rig.view.idTimerRunning);
    QVERIFY(rig.state().IdRequestPending);

    rig.stick().clearRecord();
    rig.stick().expect(msg::requestMessage(0, msg::kMsgChannelId),
                       {msg::channelId(0, 12345, 120, 1)});
    rig.push(msg::broadcastData(0, kExamplePayload));

    QVERIFY(rig.stick().scriptDone());
    QCOMPARE(rig.stick().writtenFrames(), QStringList{"A4 02 4D 00 51 BA"});
    QVERIFY(!rig.state().IdRequestPending);
    QCOMPARE(rig.view.label(FinderView::Label::DeviceNumber), "ID: 12345");
    QVERIFY(rig.view.enabled(FinderView::Button::SaveToPC));
    QCOMPARE(rig.view.log.last(), QString());

    rig.push(msg::broadcastData(0, kExamplePayload));
    QCOMPARE(requestsSent(rig.stick()), 1);
}

// STOP within 4 s: the old timer still fires; the next run's first broadcast
// carries that request, and its own timer leads to a second one.
void TestChannelEvents::idRequestWaitsForNextRun()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.finder.Btn_StopClick();
    QVERIFY(rig.view.idTimerRunning);
    rig.finder.tmr_RichiestaIDTimer();
    QVERIFY(rig.state().IdRequestPending);

    rig.startAndOpen();
    QCOMPARE(rig.view.idTimerStarts, 2);
    QVERIFY(rig.state().IdRequestPending);
    rig.stick().clearRecord();

    rig.push(msg::broadcastData(0, kExamplePayload));
    QCOMPARE(requestsSent(rig.stick()), 1);

    rig.finder.tmr_RichiestaIDTimer();
    rig.push(msg::broadcastData(0, kExamplePayload));
    rig.push(msg::broadcastData(0, kExamplePayload));
    QCOMPARE(requestsSent(rig.stick()), 2);
}

// An open acknowledgement while the old timer still runs does not restart it:
// one request in all.
void TestChannelEvents::idTimerStillRunningAtNextOpen()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.finder.Btn_StopClick();
    rig.startAndOpen();
    QCOMPARE(rig.view.idTimerStarts, 1);
    rig.stick().clearRecord();

    rig.push(msg::broadcastData(0, kExamplePayload));
    QCOMPARE(requestsSent(rig.stick()), 0);
    rig.finder.tmr_RichiestaIDTimer();
    for (int i = 0; i < 3; ++i)
        rig.push(msg::broadcastData(0, kExamplePayload));
    QCOMPARE(requestsSent(rig.stick()), 1);
}

void TestChannelEvents::idRequestGoesToChannelZero()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.finder.tmr_RichiestaIDTimer();
    rig.stick().clearRecord();
    fillPayload(rig.state(), 3, kExamplePayload);

    QCOMPARE(rig.finder.FrameChannelEvent(3, kBroadcast), false);

    QCOMPARE(rig.view.log.mid(rig.view.log.size() - 2),
             (QStringList{"Recv(3): [04][8C][2F][1D][C6][8E][20][48] RF Freq:57 RxCount:1", ""}));
    QCOMPARE(rig.stick().writtenFrames(), QStringList{"A4 02 4D 00 51 BA"});
    QVERIFY(!rig.state().IdRequestPending);
}

QTEST_GUILESS_MAIN(TestChannelEvents)
#include "tst_channelevents.moc"
