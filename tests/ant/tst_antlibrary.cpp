#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"
#include "scriptedstick.h"
#include "testenv.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <array>
#include <vector>

using namespace pulvane::ant;
using pulvane::test::hex;
using pulvane::test::ScriptedStickProvider;
using pulvane::test::ScriptedTransport;

namespace {

struct Call
{
    bool response = false;
    uint8_t channel = 0;
    uint8_t code = 0;
    QByteArray buffer;
    friend bool operator==(const Call &, const Call &) = default;
};

} // namespace

Q_DECLARE_METATYPE(Call)
Q_DECLARE_METATYPE(AntMessage)

namespace QTest {
template <> char *toString(const Call &call)
{
    return qstrdup(
        QByteArray((call.response ? "response " : "event ") + QByteArray::number(call.channel) +
                   " 0x" + QByteArray::number(call.code, 16) + " [" + call.buffer.toHex(' ') + "]")
            .constData());
}
} // namespace QTest

class TestAntLibrary : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void initOpensNthStick();
    void initWhileOpenReleasesFirst();
    void commandsReachTheStick();
    void dispatches_data();
    void dispatches();
    void buffersNeverOverrun();
    void unfinishedFrames_data();
    void unfinishedFrames();
    void readsHeldAfterNoFrame();
    void callbackClosingStickStopsBatch();
    void callbackReopeningStick();
    void stickGone();
    void closeIsFinal();

private:
    // Registers recording callbacks; the guard bytes after each buffer show
    // any write past its end.
    void registerCallbacks(uint8_t channel = 0);

    std::unique_ptr<ScriptedStickProvider> m_provider;
    std::unique_ptr<AntLibrary> m_library;
    std::array<uint8_t, 256 + 4> m_response{};
    std::array<uint8_t, 9 + 4> m_event{};
    QList<Call> m_calls;
};

void TestAntLibrary::init()
{
    m_provider = std::make_unique<ScriptedStickProvider>();
    // Two sticks plugged in.
    m_provider->refused = {2, 3};
    m_library = std::make_unique<AntLibrary>(*m_provider);
    m_response.fill(0xEE);
    m_event.fill(0xEE);
    m_calls.clear();
}

void TestAntLibrary::cleanup()
{
    m_library.reset();
    m_provider.reset();
}

void TestAntLibrary::registerCallbacks(uint8_t channel)
{
    m_library->ANT_AssignResponseFunction(
        [this](uint8_t ch, uint8_t id) {
            m_calls.append(
                {true, ch, id,
                 QByteArray(reinterpret_cast<char *>(m_response.data()), int(m_response.size()))});
            return true;
        },
        m_response.data());
    m_library->ANT_AssignChannelEventFunction(
        channel,
        [this](uint8_t ch, uint8_t code) {
            m_calls.append(
                {false, ch, code,
                 QByteArray(reinterpret_cast<char *>(m_event.data()), int(m_event.size()))});
            return true;
        },
        m_event.data(), 8);
}

void TestAntLibrary::initOpensNthStick()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ANT stick 2 not opened"));
    QCOMPARE(m_library->ANT_Init(2, 57600, 0, 0), 0);
    QVERIFY(!m_library->isOpen());
    QVERIFY(!m_library->ANT_ResetSystem());

    QCOMPARE(m_library->ANT_Init(1, 57600, 0, 0), 1);
    QVERIFY(m_library->isOpen());
    QCOMPARE(m_provider->baudrates.last(), 57600);
}

void TestAntLibrary::initWhileOpenReleasesFirst()
{
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    QPointer<ScriptedTransport> first = m_provider->stick().link(0);
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    QVERIFY(!first->isOpen());
    QVERIFY(m_library->ANT_ResetSystem());
    QCOMPARE(first->written().size(), 0);
    QCOMPARE(m_provider->stick().link(1)->written(), QList<AntMessage>{resetSystem()});

    // A failed reopen still leaves the old stick released.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not opened"));
    QCOMPARE(m_library->ANT_Init(3, 57600), 0);
    QVERIFY(!m_provider->stick().link(1)->isOpen());
    QVERIFY(!m_library->isOpen());

    QTRY_VERIFY(first.isNull());
}

void TestAntLibrary::commandsReachTheStick()
{
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    QVERIFY(m_library->ANT_ResetSystem());
    QVERIFY(m_library->ANT_SetNetworkKey(0, key, 7));
    QVERIFY(m_library->ANT_AssignChannel(0, 0, 0));
    QVERIFY(m_library->ANT_SetChannelId(0, 0x1234, 120, 1));
    QVERIFY(m_library->ANT_SetChannelPeriod(0, 8070));
    QVERIFY(m_library->ANT_SetProximitySearch(0, 4));
    QVERIFY(m_library->ANT_SetChannelSearchTimeout(0, 250));
    QVERIFY(m_library->ANT_SetChannelRFFreq(0, 57));
    QVERIFY(m_library->ANT_OpenChannel(0));
    QVERIFY(m_library->ANT_RequestMessage(0, 0x51));

    const QList<AntMessage> expected = {
        {0x4A, hex("00")},     {0x46, hex("000102030405060708")},
        {0x42, hex("000000")}, {0x51, hex("0034127801")},
        {0x43, hex("00861f")}, {0x71, hex("0004")},
        {0x44, hex("00fa")},   {0x45, hex("0039")},
        {0x4B, hex("00")},     {0x4D, hex("0051")},
    };
    QCOMPARE(m_provider->stick().link(0)->written(), expected);
}

void TestAntLibrary::dispatches_data()
{
    QTest::addColumn<AntMessage>("message");
    QTest::addColumn<QList<Call>>("expected");

    // Buffers as the callback sees them: payload, zeros to the buffer's end,
    // then the untouched guard bytes.
    const auto eventBuf = [](const char *payload) {
        QByteArray b = hex(payload);
        b.append(9 - b.size(), '\0');
        return b + hex("eeeeeeee");
    };
    const auto responseBuf = [](const char *payload) {
        QByteArray b = hex(payload);
        b.append(256 - b.size(), '\0');
        return b + hex("eeeeeeee");
    };

    QTest::newRow("broadcast") << broadcastData(0, hex("00ffffff12345648"))
                               << QList<Call>{{false, 0, 0x9A, eventBuf("0000ffffff12345648")}};
    QTest::newRow("acknowledged") << acknowledgedData(0, hex("0102030405060708"))
                                  << QList<Call>{{false, 0, 0x9B, eventBuf("000102030405060708")}};
    QTest::newRow("burst") << burstData(0, 2, true, hex("0102030405060708"))
                           << QList<Call>{{false, 0, 0x9C, eventBuf("c00102030405060708")}};
    QTest::newRow("extended broadcast cut to nine bytes")
        << extendedBroadcastData(0, hex("0102030405060708"), 0x1234, 120, 1)
        << QList<Call>{{false, 0, 0x9A, eventBuf("000102030405060708")}};
    QTest::newRow("rf event") << channelEvent(0, kEventRxFailGoToSearch)
                              << QList<Call>{{false, 0, 8, eventBuf("000108")}};
    QTest::newRow("response") << channelResponse(0, kMsgAssignChannel, kResponseChannelInWrongState)
                              << QList<Call>{{true, 0, 0x40, responseBuf("004215")}};
    QTest::newRow("channel id") << channelId(0, 0x1234, 120, 1)
                                << QList<Call>{{true, 0, 0x51, responseBuf("0034127801")}};
    QTest::newRow("network key response on network 1")
        << channelResponse(1, kMsgSetNetworkKey, 0)
        << QList<Call>{{true, 1, 0x40, responseBuf("014600")}};
    QTest::newRow("startup") << startup(kStartupCommandReset)
                             << QList<Call>{{true, 0, 0x6F, responseBuf("20")}};
    const QByteArray versionBuffer = responseBuf("414a4b312e303452414600");
    QTest::newRow("version") << version("AJK1.04RAF")
                             << QList<Call>{{true, 0, 0x3E, versionBuffer}};
    QTest::newRow("broadcast on another channel")
        << broadcastData(1, hex("0102030405060708")) << QList<Call>{};
    QTest::newRow("event on another channel") << channelEvent(1, kEventRxFail) << QList<Call>{};
    QTest::newRow("short response dropped") << AntMessage{0x40, hex("0046")} << QList<Call>{};
    QTest::newRow("empty broadcast dropped") << AntMessage{0x4E, {}} << QList<Call>{};
    QTest::newRow("short broadcast dropped")
        << AntMessage{0x4E, hex("0001020304")} << QList<Call>{};
    QTest::newRow("short channel id dropped") << AntMessage{0x51, hex("0039")} << QList<Call>{};
    QTest::newRow("wildcard channel id")
        << channelId(0, 0, 0, 0) << QList<Call>{{true, 0, 0x51, responseBuf("0000000000")}};
}

void TestAntLibrary::dispatches()
{
    QFETCH(AntMessage, message);
    QFETCH(QList<Call>, expected);

    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    registerCallbacks();
    // A message too short for its ID is named on standard error.
    if (message.payload.size() < payloadLengths(message.id).min)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^ANT message 0x.. dropped: "));
    m_provider->stick().link(0)->say(message);
    QCOMPARE(m_calls, expected);
}

void TestAntLibrary::buffersNeverOverrun()
{
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    registerCallbacks();
    // The longest payload the decoder passes, on every message ID.
    for (int id : {0x4E, 0x4F, 0x50, 0x40, 0x51, 0x3E}) {
        QByteArray payload(payloadLengths(uint8_t(id)).max, '\x11');
        payload[0] = 0;
        if (id == 0x40)
            payload[1] = 0x01;
        m_provider->stick().link(0)->say({uint8_t(id), payload});
    }
    QCOMPARE(m_calls.size(), 6);
    for (int i = 9; i < int(m_event.size()); ++i)
        QCOMPARE(m_event[i], uint8_t(0xEE));
    for (int i = 256; i < int(m_response.size()); ++i)
        QCOMPARE(m_response[i], uint8_t(0xEE));
}

void TestAntLibrary::unfinishedFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("closeFirst");
    // The codes the callbacks get once the bound has passed.
    QTest::addColumn<QByteArray>("codes");

    // A broadcast whose data holds a close's acknowledgement.
    const QByteArray broadcast = hex("a4094e00a40340004c00ab48ab");
    QTest::newRow("never finished") << broadcast.chopped(1) << false << hex("40");
    QTest::newRow("stick closed first") << broadcast.chopped(1) << true << QByteArray();
    QTest::newRow("junk before an answer and a broadcast")
        << hex("a429a40340004600a1") + broadcast << false << hex("409a");
}

// Fed a byte at a time, as a serial stick's bytes come: a frame left
// unfinished is given up once the library's timer finds the bound passed, and
// the frames after its sync byte then reach the callbacks, in order, once.
// Nothing comes from a stick released before that.
void TestAntLibrary::unfinishedFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, closeFirst);
    QFETCH(QByteArray, codes);

    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    registerCallbacks();
    const auto seen = [this] {
        QByteArray codes;
        for (const Call &call : std::as_const(m_calls))
            codes.append(char(call.code));
        return codes.toHex();
    };
    for (char c : bytes)
        m_provider->stick().link(0)->sayBytes(QByteArray(1, c));
    QVERIFY(m_calls.isEmpty());
    if (closeFirst)
        m_library->ANT_Close();
    QTRY_COMPARE(seen(), codes.toHex());
    QTest::qWait(int(4 * kFrameBound.count()));
    QCOMPARE(seen(), codes.toHex());
}

// A read that completes no frame (junk, a frame's start) asks the link to
// wait before the next, so that junk costs no wakeup for each byte.
void TestAntLibrary::readsHeldAfterNoFrame()
{
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    registerCallbacks();
    ScriptedTransport *link = m_provider->stick().link(0);
    const QByteArray broadcast = hex("a4094e00a40340004c00ab48ab");
    link->sayBytes(hex("a400ff") + broadcast);
    QCOMPARE(link->holds, 0);
    link->sayBytes(broadcast.left(5));
    QCOMPARE(link->holds, 1);
}

void TestAntLibrary::callbackClosingStickStopsBatch()
{
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    QPointer<ScriptedTransport> stick = m_provider->stick().link(0);
    int responses = 0;
    m_library->ANT_AssignResponseFunction(
        [&](uint8_t, uint8_t) {
            ++responses;
            m_library->ANT_Close();
            return true;
        },
        m_response.data());
    stick->sayAll({channelResponse(0, 0x4A, 0), channelResponse(0, 0x46, 0)});
    QCOMPARE(responses, 1);
    QVERIFY(!m_library->isOpen());
    QVERIFY(!m_library->ANT_OpenChannel(0));
    QTRY_VERIFY(stick.isNull());
}

void TestAntLibrary::callbackReopeningStick()
{
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    QPointer<ScriptedTransport> first = m_provider->stick().link(0);
    int responses = 0;
    m_library->ANT_AssignResponseFunction(
        [&](uint8_t, uint8_t) {
            if (++responses == 1)
                m_library->ANT_Init(1, 57600);
            return true;
        },
        m_response.data());
    first->sayAll({channelResponse(0, 0x4A, 0), channelResponse(0, 0x46, 0)});
    QCOMPARE(responses, 1);
    QVERIFY(m_library->isOpen());
    QPointer<ScriptedTransport> second = m_provider->stick().link(1);
    second->say(channelResponse(0, 0x42, 0));
    QCOMPARE(responses, 2);
    QTRY_VERIFY(first.isNull());
}

void TestAntLibrary::stickGone()
{
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    registerCallbacks();
    QPointer<ScriptedTransport> stick = m_provider->stick().link(0);
    QSignalSpy gone(m_library.get(), &AntLibrary::stickGone);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("went away: unplugged"));
    stick->unplug();
    QCOMPARE(gone.size(), 1);
    QCOMPARE(gone.at(0).at(0).toString(), QStringLiteral("unplugged"));
    QVERIFY(!m_library->isOpen());
    QVERIFY(!m_library->ANT_ResetSystem());
    m_library->ANT_Close();
    QCOMPARE(gone.size(), 1);
    QTRY_VERIFY(stick.isNull());
    QVERIFY(m_calls.isEmpty());
}

void TestAntLibrary::closeIsFinal()
{
    QCOMPARE(m_library->ANT_Init(0, 57600), 1);
    registerCallbacks();
    QPointer<ScriptedTransport> stick = m_provider->stick().link(0);
    m_library->ANT_Close();
    QVERIFY(!stick->isOpen());
    // Anything a stick still says after the release is not delivered.
    stick->say(channelResponse(0, 0x4A, 0));
    QVERIFY(m_calls.isEmpty());
    QVERIFY(!m_library->ANT_ResetSystem());
    m_library->ANT_Close();
    QTRY_VERIFY(stick.isNull());
}

QTEST_GUILESS_MAIN(TestAntLibrary)
#include "tst_antlibrary.moc"
