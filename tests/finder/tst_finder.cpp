// The finder's lifecycle: creation, the link thresholds, START through the
// network key, STOP and SAVE TO PC. (Closing, destruction and a lost stick:
// tst_finderclose.cpp.)
#include "finderrig.h"
#include "networkkey.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTest>

using namespace pulvane;
using namespace pulvane::test;
namespace msg = pulvane::ant;

namespace {

const QStringList kStartLines{"Connecting to USB ANT dongle.", "Cmd - Reset",
                              "Cmd - SetNetworkKey(0; [XX][XX][XX][XX][XX][XX][XX][XX])"};
const QStringList kStopLines{"Cmd - ResetSystem", "Cmd - Close"};

} // namespace

class TestFinder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void resetAntThresholds_data();
    void resetAntThresholds();
    void startSendsResetAndKey();
    void startAttempts_data();
    void startAttempts();
    void startWithoutStick();
    void stopTwice();
    void stopWithoutStick();
    void startDisablesSave_data();
    void startDisablesSave();
    void saveWritesLatestNumber();
};

void TestFinder::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestFinder::resetAntThresholds_data()
{
    QTest::addColumn<uint16_t>("period");
    QTest::addColumn<float>("maxNoConnect");
    QTest::addColumn<float>("interferenceLimit");

    QTest::newRow("8070") << uint16_t(8070) << 9.120818f << 243.62825f;
    QTest::newRow("29789") << uint16_t(29789) << 3.1999731f << 66.000198f;
    QTest::newRow("29790") << uint16_t(29790) << 4.0f << 2771.9155f;
}

void TestFinder::resetAntThresholds()
{
    QFETCH(uint16_t, period);
    QFETCH(float, maxNoConnect);
    QFETCH(float, interferenceLimit);

    FinderRig rig;
    FinderState &s = rig.state();
    s.link.MessagePeriod = period;
    s.LinkActive = s.OpenRequested = s.ReopenAfterTimeout = true;
    s.RxCount = 7;
    s.NoConnectCount = 5.5f;
    s.AckRxCount = 9;
    s.BroadcastRxCount = 11;

    rig.finder.ResetANT();

    // As doubles, so a threshold kept in double precision shows up.
    QCOMPARE(double(s.MaxNoConnect), double(maxNoConnect));
    QCOMPARE(double(s.InterferenceLimit), double(interferenceLimit));
    QVERIFY(!s.LinkActive && !s.OpenRequested && !s.ReopenAfterTimeout);
    QCOMPARE(s.RxCount, 0);
    QCOMPARE(s.NoConnectCount, 0.0f);
    QCOMPARE(s.AckRxCount, 0);
    QCOMPARE(s.BroadcastRxCount, 11);
}

// From a finder just created: it has logged nothing and tried no stick before
// START; the link it configures is pinned by the chain's frames.
void TestFinder::startSendsResetAndKey()
{
    FinderRig rig;
    rig.startOnly();

    QCOMPARE(rig.view.log, kStartLines);
    QCOMPARE(rig.sticks.attempts, QList<int>{0});
    QCOMPARE(rig.sticks.baudrates, QList<int>{57600});
    QCOMPARE(rig.view.waits, QList<int>{600});
    QVERIFY(rig.view.enabled(FinderView::Button::Stop));
    QVERIFY(rig.view.enabled(FinderView::Button::Start));
    QVERIFY(rig.state().OpenRequested);

    const QList<msg::AntMessage> &sent = rig.stick().written();
    QCOMPARE(sent.size(), 2);
    QCOMPARE(rig.stick().writtenFrames().first(), "A4 01 4A 00 EF");
    // The key frame byte by byte: A4 09 46, network 0, the eight key bytes, and
    // the XOR of them all. Checked with QVERIFY so the key is never printed.
    QByteArray keyFrame = bytes({0xA4, 0x09, 0x46, 0x00});
    for (uint8_t b : kAntNetworkKey)
        keyFrame.append(char(b));
    uint8_t checksum = 0;
    for (char c : std::as_const(keyFrame))
        checksum ^= uint8_t(c);
    keyFrame.append(char(checksum));
    QVERIFY(rig.stick().writtenBytes().mid(5) == keyFrame);
}

// The stick answers at one index only; no line for the failed attempts.
void TestFinder::startAttempts_data()
{
    QTest::addColumn<int>("answering");
    QTest::addColumn<QList<int>>("attempts");

    QTest::newRow("first") << 0 << QList<int>{0};
    QTest::newRow("third") << 2 << QList<int>{0, 1, 2};
    QTest::newRow("fourth") << 3 << QList<int>{0, 1, 2, 3};
}

void TestFinder::startAttempts()
{
    QFETCH(int, answering);
    QFETCH(QList<int>, attempts);

    FinderRig rig;
    for (int i = 0; i < 4; ++i)
        if (i != answering)
            rig.sticks.refused.insert(i);
    rig.startOnly();

    QCOMPARE(rig.sticks.attempts, attempts);
    QCOMPARE(rig.view.log, kStartLines);
    QVERIFY(rig.view.messages.isEmpty());
    QCOMPARE(rig.stick().written().size(), 2);
}

void TestFinder::startWithoutStick()
{
    FinderRig rig;
    rig.stick().vanish();
    rig.view.labels[FinderView::Label::HeartRate] = "HR: 72";
    rig.view.labels[FinderView::Label::DeviceNumber] = "ID: 12345";
    rig.state().link.DeviceNumber = 12345;

    rig.finder.Btn_Start1Click();

    QCOMPARE(rig.sticks.attempts, (QList<int>{0, 1, 2, 3}));
    QCOMPARE(rig.view.messages, QStringList{"USB ANT dongle not found."});
    // The message comes first, the log line once it is dismissed.
    QCOMPARE(rig.view.logSizeAtMessage, QList<qsizetype>{1});
    QCOMPARE(rig.view.log,
             (QStringList{"Connecting to USB ANT dongle.", "USB ANT dongle not found."}));
    QVERIFY(rig.view.enabled(FinderView::Button::Start));
    QVERIFY(!rig.view.enabled(FinderView::Button::Stop));
    QCOMPARE(rig.view.label(FinderView::Label::HeartRate), "HR:");
    QCOMPARE(rig.view.label(FinderView::Label::DeviceNumber), "ID:");
    QCOMPARE(rig.state().link.DeviceNumber, 0);
    QVERIFY(rig.view.waits.isEmpty());
    QVERIFY(!rig.state().OpenRequested);
    QVERIFY(!rig.state().StickHeld);
}

void TestFinder::stopTwice()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.push(msg::broadcastData(0, bytes({0, 0, 0, 0, 0, 0, 0, 0x48})));
    QVERIFY(!rig.view.enabled(FinderView::Button::Start));
    const qsizetype before = rig.view.log.size();
    rig.stick().clearRecord();

    rig.finder.Btn_StopClick();
    QVERIFY(!rig.stick().isAttached());
    rig.finder.Btn_StopClick();

    QCOMPARE(rig.view.logFrom(before), kStopLines + kStopLines);
    QCOMPARE(rig.view.waits, (QList<int>{600, 600, 600}));
    QCOMPARE(rig.stick().writtenFrames(), QStringList{"A4 01 4A 00 EF"});
    QVERIFY(rig.view.enabled(FinderView::Button::Start));
    QVERIFY(rig.view.enabled(FinderView::Button::Stop));
    QVERIFY(!rig.view.enabled(FinderView::Button::SaveToPC));
    QVERIFY(!rig.state().ChannelOpen && !rig.state().LinkActive && !rig.state().StickHeld);
    QCOMPARE(rig.view.label(FinderView::Label::HeartRate), "HR: 72");
}

void TestFinder::stopWithoutStick()
{
    FinderRig rig;
    rig.finder.Btn_StopClick();
    QCOMPARE(rig.view.log, kStopLines);
    QVERIFY(rig.sticks.attempts.isEmpty());
}

// A new START must not leave SAVE TO PC ready to store 0 over the belt found
// before; the next channel ID enables it again.
void TestFinder::startDisablesSave_data()
{
    QTest::addColumn<bool>("stickThere");
    QTest::newRow("stick found") << true;
    QTest::newRow("no stick") << false;
}

void TestFinder::startDisablesSave()
{
    QFETCH(bool, stickThere);

    FinderRig rig;
    rig.startAndOpen();
    rig.push(msg::channelId(0, 12345, 120, 1));
    QVERIFY(rig.view.enabled(FinderView::Button::SaveToPC));

    if (!stickThere)
        rig.stick().vanish();
    rig.finder.Btn_Start1Click();
    rig.stick().settle();

    QVERIFY(!rig.view.enabled(FinderView::Button::SaveToPC));
    QCOMPARE(rig.state().link.DeviceNumber, 0);

    if (stickThere) {
        rig.push(msg::channelId(0, 4242, 120, 1));
        QVERIFY(rig.view.enabled(FinderView::Button::SaveToPC));
    }
}

void TestFinder::saveWritesLatestNumber()
{
    FinderRig rig;
    rig.startAndOpen();
    rig.push(msg::channelId(0, 12345, 120, 1));
    rig.push(msg::channelId(0, 0x1A2B, 120, 1));
    const qsizetype before = rig.view.log.size();

    rig.finder.Btn_SaveToPCClick();

    QVERIFY(rig.view.messages.isEmpty());
    QCOMPARE(rig.view.log.size(), before);
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Morvask", "Quelb");
    QCOMPARE(settings.value("OrvantaDeviceAnt/QrxAnt_DeviceHrNumber").toString(), "6699");
    QCOMPARE(settings.value("OrvantaDeviceAntP/QrxAntP_HRDeviceNumber").toString(), "6699");
}

QTEST_GUILESS_MAIN(TestFinder)
#include "tst_finder.moc"
