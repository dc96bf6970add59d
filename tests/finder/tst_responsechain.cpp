// The response handler: the configuration chain from the network key to an
// open channel, every step's failure line, and the channel-ID branch.
#include "chaintranscript.h"
#include "finderrig.h"

#include <QTest>

using namespace pulvane;
using namespace pulvane::test;
namespace msg = pulvane::ant;

class TestResponseChain : public QObject
{
    Q_OBJECT

private slots:
    void completeChain();
    void failureStopsChain_data();
    void failureStopsChain();
    void acknowledgements_data();
    void acknowledgements();
    void rfFailureNamesBothChannels();
    void secondRfAckSendsNothing();
    void periodStepIgnoresCode_data();
    void periodStepIgnoresCode();
    void channelIdBranch_data();
    void channelIdBranch();
    void alwaysFalse_data();
    void alwaysFalse();
};

void TestResponseChain::completeChain()
{
    FinderRig rig;
    const uint8_t *key = rig.state().link.NetworkKey.data();
    ScriptedStick &stick = rig.stick();
    stick.expect(msg::resetSystem(), {msg::startup(msg::kStartupCommandReset)});
    stick.expect(msg::setNetworkKey(0, key), {msg::channelResponse(0, 0x46, 0)});
    stick.expect(msg::assignChannel(0, 0, 0), {msg::channelResponse(0, 0x42, 0)});
    stick.expect(msg::setChannelId(0, 0, 120, 0), {msg::channelResponse(0, 0x51, 0)});
    stick.expect(msg::setChannelPeriod(0, 8070), {msg::channelResponse(0, 0x43, 0)});
    stick.expect(msg::setProximitySearch(0, 4), {msg::channelResponse(0, 0x71, 0)});
    stick.expect(msg::setSearchTimeout(0, 250), {msg::channelResponse(0, 0x44, 0)});
    stick.expect(msg::setRfFrequency(0, 57), {msg::channelResponse(0, 0x45, 0)});
    stick.expect(msg::openChannel(0), {msg::channelResponse(0, 0x4B, 0)});

    rig.finder.Btn_Start1Click();
    stick.settle();

    QVERIFY(stick.scriptDone());
    QVERIFY(stick.unexpected().isEmpty());
    // The same conversation in bytes, written independently of the builders.
    QCOMPARE(stick.writtenFrames(), chainFrames());

    const QStringList transcript = chainTranscript();
    QCOMPARE(rig.view.log, transcript);

    QVERIFY(rig.state().ChannelOpen);
    QVERIFY(rig.state().LinkActive);
    QVERIFY(!rig.state().OpenRequested);
    QVERIFY(rig.view.idTimerRunning);
}

// A refused command writes its failure line, sends nothing and changes no flag.
void TestResponseChain::failureStopsChain_data()
{
    QTest::addColumn<uint8_t>("channel");
    QTest::addColumn<uint8_t>("answered");
    QTest::addColumn<uint8_t>("code");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("network key") << uint8_t(0) << uint8_t(0x46) << uint8_t(0x28)
                                 << QStringList{"Fail(0x28) - NetworkKey"};
    QTest::newRow("assign, wrong state") << uint8_t(0) << uint8_t(0x42) << uint8_t(21)
                                         << QStringList{"Fail(0x15) - AssignChannel(00)"};
    QTest::newRow("set channel ID") << uint8_t(0) << uint8_t(0x51) << uint8_t(0x18)
                                    << QStringList{"Fail(0x18) - SetChannelID(00)"};
    QTest::newRow("proximity") << uint8_t(0) << uint8_t(0x71) << uint8_t(0x33)
                               << QStringList{"Fail(0x33) - SetProximitySearch(00)"};
    QTest::newRow("search timeout") << uint8_t(0) << uint8_t(0x44) << uint8_t(0x15)
                                    << QStringList{"Fail(0x15) - SetChannelSearchTimeout(00)"};
    QTest::newRow("rf frequency") << uint8_t(0) << uint8_t(0x45) << uint8_t(0x15)
                                  << QStringList{"Fail(0x15) - SetRFFreq(00) - channel(0)", ""};
    QTest::newRow("open") << uint8_t(0) << uint8_t(0x4B) << uint8_t(0x15)
                          << QStringList{"Fail(0x15) - Open(00)"};
    QTest::newRow("close") << uint8_t(0) << uint8_t(0x4C) << uint8_t(0x16)
                           << QStringList{"Fail(0x16) - Close(00)"};
    QTest::newRow("unassign") << uint8_t(0) << uint8_t(0x41) << uint8_t(0x15)
                              << QStringList{"Fail((0x15)) - UnassignChannel(0)"};
    QTest::newRow("unassign, one digit") << uint8_t(0) << uint8_t(0x41) << uint8_t(0x05)
                                         << QStringList{"Fail((0x5)) - UnassignChannel(0)"};
    QTest::newRow("generic") << uint8_t(0) << uint8_t(0x63) << uint8_t(40)
                             << QStringList{"Fail(0x28) - MesgID:(0x63) - Channel:(00)"};
    QTest::newRow("channel 3") << uint8_t(3) << uint8_t(0x42) << uint8_t(0xAB)
                               << QStringList{"Fail(0xAB) - AssignChannel(03)"};
    QTest::newRow("channel 12, generic")
        << uint8_t(12) << uint8_t(0x07) << uint8_t(0x0C)
        << QStringList{"Fail(0x0C) - MesgID:(0x07) - Channel:(12)"};
}

void TestResponseChain::failureStopsChain()
{
    QFETCH(uint8_t, channel);
    QFETCH(uint8_t, answered);
    QFETCH(uint8_t, code);
    QFETCH(QStringList, lines);

    FinderRig rig;
    rig.startOnly();
    const qsizetype before = rig.view.log.size();
    rig.stick().clearRecord();

    rig.push(msg::channelResponse(channel, answered, code));

    QCOMPARE(rig.view.logFrom(before), lines);
    QVERIFY(rig.stick().written().isEmpty());
    QVERIFY(rig.state().OpenRequested);
    QVERIFY(!rig.state().ChannelOpen);
    QVERIFY(!rig.state().LinkActive);
    QVERIFY(!rig.view.idTimerRunning);
}

// Acknowledgements of commands this program never sends itself.
void TestResponseChain::acknowledgements_data()
{
    QTest::addColumn<uint8_t>("answered");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("channelOpenAfter");

    QTest::newRow("generic 0x63") << uint8_t(0x63)
                                  << QStringList{"Ack - MesgID:(0x63) - Channel:(00)"} << true;
    QTest::newRow("close") << uint8_t(0x4C) << QStringList{"Ack[0] - Close"} << false;
    QTest::newRow("unassign") << uint8_t(0x41) << QStringList{"Ack - UnassignChannel"} << true;
}

void TestResponseChain::acknowledgements()
{
    QFETCH(uint8_t, answered);
    QFETCH(QStringList, lines);
    QFETCH(bool, channelOpenAfter);

    FinderRig rig;
    rig.startAndOpen();
    QVERIFY(rig.state().ChannelOpen);
    const qsizetype before = rig.view.log.size();
    rig.stick().clearRecord();

    rig.push(msg::channelResponse(0, answered, 0));

    QCOMPARE(rig.view.logFrom(before), lines);
    QVERIFY(rig.stick().written().isEmpty());
    QCOMPARE(rig.state().ChannelOpen, channelOpenAfter);
    QVERIFY(rig.state().LinkActive);
}

// The line carries the channel of the response and the one of the callback.
void TestResponseChain::rfFailureNamesBothChannels()
{
    FinderRig rig;
    rig.state().ResponseBuffer[0] = 2;
    rig.state().ResponseBuffer[1] = 0x45;
    rig.state().ResponseBuffer[2] = 0x33;

    QCOMPARE(rig.finder.MainEvent(5, 0x40), false);

    QCOMPARE(rig.view.log, (QStringList{"Fail(0x33) - SetRFFreq(02) - channel(5)", ""}));
}

void TestResponseChain::secondRfAckSendsNothing()
{
    FinderRig rig;
    rig.startAndOpen();
    const qsizetype before = rig.view.log.size();
    rig.stick().clearRecord();

    rig.push(msg::channelResponse(0, 0x45, 0));

    QCOMPARE(rig.view.logFrom(before), QStringList{"Ack - SetRFFreq"});
    QVERIFY(rig.stick().written().isEmpty());
}

// The period step goes on whatever its code, with the spin value of the
// moment, which is passed on unclamped.
void TestResponseChain::periodStepIgnoresCode_data()
{
    QTest::addColumn<uint8_t>("code");
    QTest::addColumn<int>("spin");
    QTest::addColumn<QString>("line");
    QTest::addColumn<uint8_t>("sent");

    QTest::newRow("accepted") << uint8_t(0) << 4 << "Cmd - SetProximitySearch(0, 4)" << uint8_t(4);
    QTest::newRow("refused") << uint8_t(0x28) << 4 << "Cmd - SetProximitySearch(0, 4)"
                             << uint8_t(4);
    QTest::newRow("typed 25") << uint8_t(0) << 25 << "Cmd - SetProximitySearch(0, 25)"
                              << uint8_t(25);
    QTest::newRow("typed -3") << uint8_t(0x15) << -3 << "Cmd - SetProximitySearch(0, -3)"
                              << uint8_t(253);
}

void TestResponseChain::periodStepIgnoresCode()
{
    QFETCH(uint8_t, code);
    QFETCH(int, spin);
    QFETCH(QString, line);
    QFETCH(uint8_t, sent);

    FinderRig rig;
    rig.startOnly();
    const qsizetype before = rig.view.log.size();
    rig.stick().clearRecord();
    rig.view.proximity = spin;

    rig.push(msg::channelResponse(0, 0x43, code));

    QCOMPARE(rig.view.logFrom(before), (QStringList{"Ack - SetChannelPeriod", "", line}));
    QCOMPARE(rig.stick().written(), QList<msg::AntMessage>{msg::setProximitySearch(0, sent)});
}

// The channel-ID message sets the device number, logs nothing, and enables
// SAVE TO PC even for 0.
void TestResponseChain::channelIdBranch_data()
{
    QTest::addColumn<uint16_t>("number");
    QTest::addColumn<QString>("label");

    QTest::newRow("0x3039") << uint16_t(12345) << "ID: 12345";
    QTest::newRow("zero") << uint16_t(0) << "ID: 0";
    QTest::newRow("highest") << uint16_t(65535) << "ID: 65535";
}

void TestResponseChain::channelIdBranch()
{
    QFETCH(uint16_t, number);
    QFETCH(QString, label);

    FinderRig rig;
    rig.startAndOpen();
    const qsizetype before = rig.view.log.size();

    rig.push(msg::channelId(0, number, 120, 1));

    QCOMPARE(rig.state().link.DeviceNumber, int32_t(number));
    QCOMPARE(rig.view.label(FinderView::Label::DeviceNumber), label);
    QVERIFY(rig.view.enabled(FinderView::Button::SaveToPC));
    QCOMPARE(rig.view.log.size(), before);
}

void TestResponseChain::alwaysFalse_data()
{
    QTest::addColumn<uint8_t>("messageId");
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("linesWritten");

    QTest::newRow("response") << uint8_t(0x40) << bytes({0, 0x63, 0}) << 1;
    QTest::newRow("channel ID") << uint8_t(0x51) << bytes({0, 0x39, 0x30, 120, 1}) << 0;
    QTest::newRow("startup") << uint8_t(0x6F) << bytes({0x20}) << 0;
    QTest::newRow("capabilities") << uint8_t(0x54) << bytes({8, 3, 0, 0, 0, 0}) << 0;
}

void TestResponseChain::alwaysFalse()
{
    QFETCH(uint8_t, messageId);
    QFETCH(QByteArray, buffer);
    QFETCH(int, linesWritten);

    FinderRig rig;
    std::copy(buffer.begin(), buffer.end(), rig.state().ResponseBuffer.begin());

    QCOMPARE(rig.finder.MainEvent(0, messageId), false);
    QCOMPARE(rig.view.log.size(), linesWritten);
}

QTEST_GUILESS_MAIN(TestResponseChain)
#include "tst_responsechain.moc"
