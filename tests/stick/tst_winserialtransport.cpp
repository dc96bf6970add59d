// The Win32 serial transport over a real COM port. scripts/test-windows.sh
// links two COM ports of Wine back to back (two pseudo-terminals joined by
// socat) and names them in PULVANE_TEST_COM_PAIR as "COMa;COMb": the
// transport opens the first, the test speaks through the second as the stick
// would. Without the pair only the checks that need no port run. A line that
// hangs up is checked by test-windows.sh with the real program (antsim
// ends): a process under Wine keeps its own descriptors of a closed port, so
// closing the far end here would hang nothing up.
#include "comportpeer.h"
#include "serialline_win.h"

#include <QSignalSpy>
#include <QTest>

#include <windows.h>

using namespace pulvane;
using namespace pulvane::ant;
using namespace pulvane::stick;

using test::ComPortPeer;
using test::joinedBytes;

class TestWinSerialTransport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void devicePath_data();
    void devicePath();
    void absentPort();
    void openFailure_data();
    void openFailure();
    void bytesBothWays();
    void closeEndsTheSignals();

private:
    void needPair();
    QString m_port;
    QString m_peerPort;
};

void TestWinSerialTransport::initTestCase()
{
    const QStringList pair =
        qEnvironmentVariable("PULVANE_TEST_COM_PAIR").split(u';', Qt::SkipEmptyParts);
    if (pair.size() == 2) {
        m_port = pair.at(0);
        m_peerPort = pair.at(1);
    }
}

void TestWinSerialTransport::needPair()
{
    if (m_port.isEmpty())
        QSKIP("PULVANE_TEST_COM_PAIR names no pair of linked COM ports");
}

void TestWinSerialTransport::devicePath_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("path");
    QTest::newRow("low port") << "COM5"
                              << "\\\\.\\COM5";
    QTest::newRow("two digits") << "COM12"
                                << "\\\\.\\COM12";
    QTest::newRow("already a device path") << "\\\\.\\COM3"
                                           << "\\\\.\\COM3";
}

void TestWinSerialTransport::devicePath()
{
    QFETCH(QString, port);
    QFETCH(QString, path);
    QCOMPARE(WinSerialTransport::devicePath(port), path);
}

void TestWinSerialTransport::absentPort()
{
    WinSerialTransport transport(QStringLiteral("COM219"), 115200, QStringLiteral("test"));
    QCOMPARE(transport.open().value_or(QString()), QStringLiteral("COM219 is gone"));
    QVERIFY(!transport.isOpen());
    QVERIFY(!transport.write(QByteArray("\xA4", 1)));
}

void TestWinSerialTransport::openFailure_data()
{
    QTest::addColumn<unsigned long>("code");
    QTest::addColumn<QString>("why");
    QTest::newRow("no such port") << 2ul << "COM5 is gone";
    QTest::newRow("unplugged") << 1167ul << "COM5 is gone";
    // Windows opens a COM port for one program at a time. (Wine lets a port
    // be opened twice, so only the wording is checked here.)
    QTest::newRow("held by another program") << 5ul << "COM5 is busy: another program holds it";
    QTest::newRow("sharing violation") << 32ul << "COM5 is busy: another program holds it";
}

void TestWinSerialTransport::openFailure()
{
    QFETCH(unsigned long, code);
    QFETCH(QString, why);
    QCOMPARE(WinSerialTransport::openFailure(QStringLiteral("COM5"), code), why);
    // Anything else carries the system's own text.
    QVERIFY(WinSerialTransport::openFailure(QStringLiteral("COM5"), 87ul)
                .startsWith(QStringLiteral("COM5: ")));
}

void TestWinSerialTransport::bytesBothWays()
{
    needPair();
    WinSerialTransport transport(m_port, 115200, QStringLiteral("test"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    ComPortPeer peer(m_peerPort);
    QVERIFY(peer.isOpen());
    QSignalSpy arrived(&transport, &Transport::bytesArrived);
    QSignalSpy gone(&transport, &Transport::gone);

    // A reset request, then a longer frame: both leave whole.
    const QByteArray reset = QByteArray::fromHex("a4014a00ef");
    QVERIFY(transport.write(reset));
    QCOMPARE(peer.read(reset.size()), reset);
    const QByteArray assign = QByteArray::fromHex("a40342000000e5");
    QVERIFY(transport.write(assign));
    QCOMPARE(peer.read(assign.size()), assign);

    // Frames from the stick in pieces, with pauses: in order, nothing lost.
    QByteArray expected;
    for (int i = 0; i < 5; ++i) {
        const QByteArray piece = QByteArray::fromHex("a4036f2000") + char(i);
        QVERIFY(peer.write(piece));
        expected += piece;
        QTest::qWait(30);
    }
    QTRY_COMPARE(joinedBytes(arrived), expected);
    // A burst larger than one read.
    QByteArray burst(10000, '\0');
    for (int i = 0; i < burst.size(); ++i)
        burst[i] = char(i * 7);
    QVERIFY(peer.write(burst));
    QTRY_COMPARE_WITH_TIMEOUT(joinedBytes(arrived), expected + burst, 10000);
    QCOMPARE(gone.count(), 0);
}

void TestWinSerialTransport::closeEndsTheSignals()
{
    needPair();
    WinSerialTransport transport(m_port, 115200, QStringLiteral("test"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    ComPortPeer peer(m_peerPort);
    QSignalSpy arrived(&transport, &Transport::bytesArrived);
    // Closed from inside its own signal, as AntLibrary may do.
    connect(&transport, &Transport::bytesArrived, &transport, [&] { transport.close(); });
    QVERIFY(peer.write("first"));
    QTRY_COMPARE(arrived.count(), 1);
    QVERIFY(!transport.isOpen());
    QVERIFY(!transport.write("x"));
    QVERIFY(peer.write("second"));
    QTest::qWait(300);
    QCOMPARE(arrived.count(), 1);

    // The port is free again for the next user.
    WinSerialTransport again(m_port, 115200, QStringLiteral("test"));
    if (const auto refused = again.open())
        QFAIL(qPrintable(*refused));
}

QTEST_GUILESS_MAIN(TestWinSerialTransport)
#include "tst_winserialtransport.moc"
