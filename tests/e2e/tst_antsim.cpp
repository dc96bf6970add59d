// The simulated stick on its virtual clock: command answers, the search and
// tracking model, the belt's data pages and fault injection. Everything goes
// through real frames. (Its options and pseudo-terminal link:
// tst_antsimsetup.cpp.)
#include "simhost.h"

#include <antmessages.h>

#include <QTest>

using namespace pulvane::ant;
using namespace pulvane::antsim;
using namespace pulvane::test;

Q_DECLARE_METATYPE(pulvane::ant::AntMessage)

namespace {

// The faults a row injects.
enum class Fault
{
    Refuse,
    Ignore,
    Garbage,
    Lossy
};

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestAntSim : public QObject
{
    Q_OBJECT

private slots:
    void resetSendsStartupLater();
    void commandCodes_data();
    void commandCodes();
    void searchPicksNearestInBin_data();
    void searchPicksNearestInBin();
    void searchTimeoutThenClosed();
    void walkingBeltDropsAndReturns();
    void channelIdBeforeAndAfterFind();
    void stickWideRequests();
    void broadcastPages();
    void legacyBeltNeverToggles();
    void extendedMessagesCarryTheId();
    void faults_data();
    void faults();
    void vanishes();
};

void TestAntSim::resetSendsStartupLater()
{
    Host host(configWith({}));
    host.openHeartRateChannel(4, 250);
    QVERIFY(host.send(resetSystem()).isEmpty());
    QVERIFY(host.runFor(349 * 1000).isEmpty());
    host.raw.clear();
    const QList<AntMessage> later = host.runFor(2 * 1000);
    QCOMPARE(later, QList<AntMessage>{startup(kStartupCommandReset)});
    QCOMPARE(host.raw, QByteArray::fromHex("a4016f20ea"));
    // The reset left nothing assigned or open.
    QCOMPARE(host.codeFor(openChannel(0)), kResponseChannelInWrongState);
    QCOMPARE(host.codeFor(assignChannel(0, 0, 0)), kResponseNoError);

    SimConfig silent = configWith({});
    silent.startupDelay.reset();
    Host quiet(silent);
    quiet.send(resetSystem());
    QVERIFY(quiet.runFor(5 * kSecond).isEmpty());
}

void TestAntSim::commandCodes_data()
{
    QTest::addColumn<QList<AntMessage>>("setup");
    QTest::addColumn<AntMessage>("command");
    QTest::addColumn<int>("code");

    const QList<AntMessage> assigned{assignChannel(0, 0, 0)};
    const QList<AntMessage> open{assignChannel(0, 0, 0), openChannel(0)};
    const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    QTest::newRow("key") << QList<AntMessage>{} << setNetworkKey(0, key) << 0;
    QTest::newRow("key, network 8") << QList<AntMessage>{} << setNetworkKey(8, key) << 0x29;
    QTest::newRow("assign") << QList<AntMessage>{} << assignChannel(0, 0, 0) << 0;
    QTest::newRow("assign with flags") << QList<AntMessage>{} << assignChannel(0, 0, 0, 0x10) << 0;
    QTest::newRow("assign twice") << assigned << assignChannel(0, 0, 0) << 0x15;
    QTest::newRow("assign network 8") << QList<AntMessage>{} << assignChannel(0, 0, 8) << 0x29;
    QTest::newRow("assign odd type") << QList<AntMessage>{} << assignChannel(0, 0x05, 0) << 0x33;
    QTest::newRow("assign channel 8") << QList<AntMessage>{} << assignChannel(8, 0, 0) << 0x28;
    QTest::newRow("ID unassigned") << QList<AntMessage>{} << setChannelId(0, 0, 120, 0) << 0x15;
    QTest::newRow("ID") << assigned << setChannelId(0, 0, 120, 0) << 0;
    QTest::newRow("ID while open") << open << setChannelId(0, 0, 120, 0) << 0x15;
    QTest::newRow("period") << assigned << setChannelPeriod(0, kHeartRatePeriod) << 0;
    QTest::newRow("period 0") << assigned << setChannelPeriod(0, 0) << 0x33;
    QTest::newRow("bin 10") << assigned << setProximitySearch(0, 10) << 0;
    QTest::newRow("bin 11") << assigned << setProximitySearch(0, 11) << 0x28;
    QTest::newRow("timeout 255") << assigned << setSearchTimeout(0, 255) << 0;
    QTest::newRow("RF 124") << assigned << setRfFrequency(0, 124) << 0;
    QTest::newRow("RF 125") << assigned << setRfFrequency(0, 125) << 0x33;
    QTest::newRow("open unassigned") << QList<AntMessage>{} << openChannel(0) << 0x15;
    QTest::newRow("open") << assigned << openChannel(0) << 0;
    QTest::newRow("open twice") << open << openChannel(0) << 0x15;
    QTest::newRow("close not open") << assigned << closeChannel(0) << 0x15;
    QTest::newRow("unassign open") << open << unassignChannel(0) << 0x15;
    QTest::newRow("unassign") << assigned << unassignChannel(0) << 0;
    QTest::newRow("unassign unassigned") << QList<AntMessage>{} << unassignChannel(0) << 0x15;
    QTest::newRow("short ID") << assigned << AntMessage{kMsgChannelId, QByteArray(3, 0)} << 0x28;
    QTest::newRow("unknown message")
        << QList<AntMessage>{} << AntMessage{0x99, QByteArray(1, 0)} << 0x28;
    QTest::newRow("request unknown") << assigned << requestMessage(0, 0x77) << 0x28;
    QTest::newRow("ext messages") << QList<AntMessage>{} << enableExtendedMessages(true) << 0;
}

void TestAntSim::commandCodes()
{
    QFETCH(QList<AntMessage>, setup);
    QFETCH(AntMessage, command);
    QFETCH(int, code);
    Host host(configWith(defaultBelts()));
    for (const AntMessage &m : setup)
        QCOMPARE(host.codeFor(m), uint8_t(0));
    const QList<AntMessage> answers = host.send(command);
    QCOMPARE(answers.size(), 1);
    QCOMPARE(answers[0].id, kMsgChannelResponse);
    const uint8_t answered = command.id == kMsgRequestMessage ? kMsgRequestMessage : command.id;
    QCOMPARE(uint8_t(answers[0].payload.at(1)), answered);
    QCOMPARE(int(uint8_t(answers[0].payload.at(2))), code);
    // The key's answer carries the network number in its channel byte.
    QCOMPARE(answers[0].payload.at(0), command.payload.isEmpty() ? char(0) : command.payload.at(0));
}

void TestAntSim::searchPicksNearestInBin_data()
{
    QTest::addColumn<QList<BeltSetup>>("belts");
    QTest::addColumn<int>("bin");
    QTest::addColumn<int>("found"); // device number, 0 for none

    const QList<BeltSetup> defaults = defaultBelts();
    QTest::newRow("defaults, bin 4") << defaults << 4 << 23456;
    QTest::newRow("defaults, bin 0") << defaults << 0 << 23456;
    QTest::newRow("defaults, bin 10") << defaults << 10 << 23456;
    QTest::newRow("defaults, bin 2") << defaults << 2 << 0;
    const QList<BeltSetup> apart{beltAt(7, 2.5), beltAt(9, 1.2), beltAt(8, 5.0)};
    QTest::newRow("apart, bin 3") << apart << 3 << 0;
    QTest::newRow("apart, bin 4") << apart << 4 << 9;
    QTest::newRow("apart, bin 0") << apart << 0 << 9;
    QTest::newRow("beyond radio range") << QList<BeltSetup>{beltAt(5, 25)} << 0 << 0;
}

void TestAntSim::searchPicksNearestInBin()
{
    QFETCH(QList<BeltSetup>, belts);
    QFETCH(int, bin);
    QFETCH(int, found);
    Host host(configWith(belts));
    host.openHeartRateChannel(uint8_t(bin), 1);
    const QList<AntMessage> messages = host.runFor(3 * kSecond);
    if (found == 0) {
        QCOMPARE(eventTrail(messages), (QList<int>{kEventRxSearchTimeout, kEventChannelClosed}));
        return;
    }
    QVERIFY(broadcasts(messages).size() >= 10);
    QCOMPARE(host.lines.filter(QStringLiteral("found ")).size(), 1);
    QVERIFY(host.lines.filter(QStringLiteral("found "))
                .first()
                .contains(QStringLiteral(" dev=%1 trans=1 bin=%2 ").arg(found).arg(bin)));
}

void TestAntSim::searchTimeoutThenClosed()
{
    Host host(configWith(defaultBelts()));
    host.openHeartRateChannel(1, 2);
    QVERIFY(eventTrail(host.runFor(4900 * 1000)).isEmpty());
    QCOMPARE(eventTrail(host.runFor(300 * 1000)),
             (QList<int>{kEventRxSearchTimeout, kEventChannelClosed}));
    QVERIFY(host.runFor(10 * kSecond).isEmpty());
    QCOMPARE(host.send(requestMessage(0, kMsgChannelStatus)),
             QList<AntMessage>{channelStatus(0, 1)});
    // A closed channel opens again, and a new bin counts for the new search.
    QCOMPARE(host.codeFor(setProximitySearch(0, 4)), uint8_t(0));
    QCOMPARE(host.codeFor(openChannel(0)), uint8_t(0));
    QVERIFY(!broadcasts(host.runFor(kSecond)).isEmpty());
}

void TestAntSim::walkingBeltDropsAndReturns()
{
    BeltSetup walker = beltAt(1, 0.5);
    // Out of radio range from 6 s to 20 s.
    walker.walk = {{5, 0.5}, {5.5, 30}, {20.5, 30}, {21, 0.5}};
    Host host(configWith({walker}));
    host.openHeartRateChannel(4, 250);
    const QList<int> trail = eventTrail(host.runFor(40 * kSecond));
    const qsizetype firstFail = trail.indexOf(kEventRxFail);
    QVERIFY(firstFail > 10);
    QCOMPARE(trail.mid(firstFail, 10),
             (QList<int>{2, 2, 2, 2, 2, 2, 2, 2, kEventRxFailGoToSearch, kMsgBroadcastData}));
    QCOMPARE(trail.count(kEventRxFailGoToSearch), 1);
    QVERIFY(trail.count(kMsgBroadcastData) > 60);
    QCOMPARE(host.lines.filter(QStringLiteral("found ")).size(), 2);
    QCOMPARE(host.lines.filter(QStringLiteral("drop ")).size(), 1);
}

void TestAntSim::channelIdBeforeAndAfterFind()
{
    Host host(configWith(defaultBelts()));
    QCOMPARE(host.codeFor(requestMessage(0, kMsgChannelId)), kResponseChannelInWrongState);
    host.openHeartRateChannel(4, 250);
    QCOMPARE(host.send(requestMessage(0, kMsgChannelId)),
             QList<AntMessage>{channelId(0, 0, kHeartRateDeviceType, 0)});
    host.runFor(kSecond);
    QCOMPARE(host.send(requestMessage(0, kMsgChannelId)),
             QList<AntMessage>{channelId(0, 23456, kHeartRateDeviceType, 1)});
    QCOMPARE(host.send(requestMessage(0, kMsgChannelStatus)),
             QList<AntMessage>{channelStatus(0, 3)});
    // Closing answers the close first, then reports the channel closed.
    QCOMPARE(host.send(closeChannel(0)), (QList<AntMessage>{channelResponse(0, kMsgCloseChannel, 0),
                                                            channelEvent(0, kEventChannelClosed)}));
}

void TestAntSim::stickWideRequests()
{
    SimConfig config = configWith({});
    config.serialNumber = 0x01020304;
    Host host(config);
    const QList<AntMessage> caps = host.send(requestMessage(0, kMsgCapabilities));
    QCOMPARE(caps.size(), 1);
    QCOMPARE(caps[0].id, kMsgCapabilities);
    QVERIFY(caps[0].payload.size() >= 6);
    QCOMPARE(uint8_t(caps[0].payload.at(0)), uint8_t(SimStick::kMaxChannels));
    QCOMPARE(host.send(requestMessage(0, kMsgVersion)), QList<AntMessage>{version("ANTSIM1.0")});
    QVERIFY(host.received[0].payload.endsWith('\0'));
    QCOMPARE(host.send(requestMessage(0, kMsgSerialNumber)),
             (QList<AntMessage>{AntMessage{kMsgSerialNumber, QByteArray::fromHex("04030201")}}));
}

void TestAntSim::broadcastPages()
{
    BeltSetup belt = beltAt(3, 0.5);
    belt.heartRate = 100;
    belt.heartRateSwing = 10;
    Host host(configWith({belt}));
    host.openHeartRateChannel(0, 250);
    const QList<AntMessage> pages =
        broadcasts(host.runFor(160 * kHeartRatePeriod * kSecond / kPeriodUnitsPerSecond));
    QVERIFY(pages.size() >= 140);
    QList<int> numbers;
    int beatChanges = 0;
    for (int n = 0; n < pages.size(); ++n) {
        const QByteArray &p = pages[n].payload;
        QCOMPARE(p.size(), 9);
        QCOMPARE(uint8_t(p.at(0)), uint8_t(0));
        QCOMPARE(bool(uint8_t(p.at(1)) & 0x80), (n / 4) % 2 == 1);
        numbers.append(uint8_t(p.at(1)) & 0x7F);
        const int hr = uint8_t(p.at(8));
        QVERIFY2(hr >= 90 && hr <= 110, qPrintable(QString::number(hr)));
        if (n > 0) {
            const QByteArray &q = pages[n - 1].payload;
            const bool timeMoved = p.mid(5, 2) != q.mid(5, 2);
            const bool countMoved = p.at(7) != q.at(7);
            QCOMPARE(timeMoved, countMoved);
            beatChanges += countMoved;
        }
    }
    // About 100 beats a minute at 4 messages a second.
    QVERIFY(beatChanges > 50 && beatChanges < 80);
    QCOMPARE(numbers.mid(0, 64), QList<int>(64, 4));
    QCOMPARE(numbers.mid(64, 4), QList<int>(4, 1));
    QCOMPARE(numbers.mid(68, 64), QList<int>(64, 4));
    QCOMPARE(numbers.mid(132, 4), QList<int>(4, 2));
    // Page 2 names the development manufacturer.
    QCOMPARE(uint8_t(pages[132].payload.at(2)), uint8_t(0xFF));
}

void TestAntSim::legacyBeltNeverToggles()
{
    BeltSetup belt = beltAt(3, 0.5);
    belt.legacy = true;
    Host host(configWith({belt}));
    host.openHeartRateChannel(0, 250);
    const QList<AntMessage> pages = broadcasts(host.runFor(30 * kSecond));
    QVERIFY(pages.size() > 100);
    for (const AntMessage &m : pages)
        QCOMPARE(uint8_t(m.payload.at(1)), uint8_t(0));
}

void TestAntSim::extendedMessagesCarryTheId()
{
    Host host(configWith(defaultBelts()));
    QCOMPARE(host.codeFor(libConfig(kLibConfigChannelId)), uint8_t(0));
    host.openHeartRateChannel(4, 250);
    const QList<AntMessage> pages = broadcasts(host.runFor(kSecond));
    QVERIFY(!pages.isEmpty());
    QCOMPARE(pages[0].payload.size(), 14);
    QCOMPARE(pages[0].payload.mid(9), QByteArray::fromHex("80a05b7801"));
}

void TestAntSim::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("refuse assign") << Fault::Refuse;
    QTest::newRow("ignore open") << Fault::Ignore;
    QTest::newRow("garbage") << Fault::Garbage;
    QTest::newRow("lossy") << Fault::Lossy;
}

void TestAntSim::faults()
{
    QFETCH(Fault, fault);
    SimConfig config = configWith(defaultBelts());
    Host clean(config);
    clean.openHeartRateChannel(4, 250);
    const QList<AntMessage> cleanRun = clean.runFor(20 * kSecond);

    switch (fault) {
    case Fault::Refuse: {
        config.refuse.insert(kMsgAssignChannel, 0x15);
        Host host(config);
        QCOMPARE(host.codeFor(assignChannel(0, 0, 0)), uint8_t(0x15));
        QCOMPARE(host.send(requestMessage(0, kMsgChannelStatus)),
                 QList<AntMessage>{channelStatus(0, 0)});
        break;
    }
    case Fault::Ignore: {
        config.ignore.insert(kMsgOpenChannel);
        Host host(config);
        QCOMPARE(host.codeFor(assignChannel(0, 0, 0)), uint8_t(0));
        QVERIFY(host.send(openChannel(0)).isEmpty());
        QVERIFY(host.runFor(10 * kSecond).isEmpty());
        break;
    }
    case Fault::Garbage: {
        config.garbage = 1.0;
        Host host(config);
        host.openHeartRateChannel(4, 250);
        // The junk never holds a sync byte, so every message gets through.
        QCOMPARE(host.runFor(20 * kSecond), cleanRun);
        QVERIFY(host.decoder.droppedBytes() > cleanRun.size());
        break;
    }
    case Fault::Lossy: {
        config.lossy = 0.3;
        Host host(config);
        host.openHeartRateChannel(4, 250);
        const QList<int> trail = eventTrail(host.runFor(20 * kSecond));
        const int fails = int(trail.count(kEventRxFail));
        QVERIFY2(fails > trail.size() / 6 && fails < trail.size() / 2,
                 qPrintable(QString::number(fails)));
        QCOMPARE(trail.size(), eventTrail(cleanRun).size());
        break;
    }
    }
}

void TestAntSim::vanishes()
{
    SimConfig config = configWith(defaultBelts());
    config.vanishAt = 3 * kSecond;
    Host host(config);
    int vanished = 0;
    QObject::connect(&host.stick, &SimStick::vanished, &host.stick, [&vanished] { ++vanished; });
    host.openHeartRateChannel(4, 250);
    host.runFor(2900 * 1000);
    QCOMPARE(vanished, 0);
    host.runFor(200 * 1000);
    QCOMPARE(vanished, 1);
    QVERIFY(host.stick.hasVanished());
    QVERIFY(!host.stick.nextDue());
    QVERIFY(host.send(requestMessage(0, kMsgChannelId)).isEmpty());
    QVERIFY(host.lines.last().startsWith(QStringLiteral("vanished t=3.000")));
}

QTEST_GUILESS_MAIN(TestAntSim)
#include "tst_antsim.moc"
