#include "antlibrary.h"
#include "antmessages.h"
#include "sticklist.h"
#include "stickopen.h"
#include "testenv.h"

#include <QTest>

#include <array>

using namespace pulvane::ant;
using namespace pulvane::stick;

// Talks to the first stick plugged into this machine; skips without one.
class TestRealStick : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void resetAndCapabilities();

private:
    // Virtual sticks of a running simulator are not what this test is after.
    pulvane::test::PrivateRuntime m_runtime;
};

void TestRealStick::initTestCase()
{
    QVERIFY(m_runtime.isValid());
}

void TestRealStick::resetAndCapabilities()
{
    const QList<StickLocation> sticks = findSticks();
    if (sticks.isEmpty())
        QSKIP("no ANT stick plugged in");
    qInfo().noquote() << "stick 0:" << sticks.first().description;

    SystemStickProvider provider;
    AntLibrary library(provider);
    QCOMPARE(library.ANT_Init(0, 57600), 1);

    std::array<uint8_t, 256> buffer{};
    QList<uint8_t> ids;
    library.ANT_AssignResponseFunction(
        [&](uint8_t, uint8_t id) {
            ids.append(id);
            return true;
        },
        buffer.data());

    QVERIFY(library.ANT_ResetSystem());
    // The startup message comes about 350 ms after a reset, on some sticks
    // not at all: wait for it, but ask for the capabilities either way.
    QTest::qWait(600);
    QVERIFY(library.ANT_RequestMessage(0, kMsgCapabilities));
    QTRY_VERIFY_WITH_TIMEOUT(ids.contains(kMsgCapabilities), 3000);
    QVERIFY2(buffer[0] >= 1, "a stick has at least one channel");

    library.ANT_Close();
    QVERIFY(!library.isOpen());
}

QTEST_GUILESS_MAIN(TestRealStick)
#include "tst_realstick.moc"
