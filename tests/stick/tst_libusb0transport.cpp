// The libusb-win32 transport over the test stand-in of libusb0.dll
// (libusb0standin.cpp), which scripts/test-windows.sh puts into the Wine
// prefix's System32. The stand-in's stick carries its bulk endpoints to the
// first COM port of PULVANE_TEST_COM_PAIR; the test speaks through the second
// as the stick would. Without the stand-in or the pair the test skips itself.
#include "antframe.h"
#include "comportpeer.h"
#include "libusb0_win.h"
#include "libusb0transport_win.h"

#include <QSignalSpy>
#include <QTest>

#include <thread>
#include <type_traits>

#include <windows.h>

using namespace pulvane;
using namespace pulvane::ant;
using namespace pulvane::stick;

namespace {

const QString kStick = QStringLiteral("\\\\.\\libusb0-0001--0x0fcf-0x1009");

// The stand-in's own exports for tests.
struct StandIn
{
    void (*unplug)(int) = nullptr;
    void (*holdReads)(int) = nullptr;
    void (*wedgeWrites)(int) = nullptr;
    void (*olderLibrary)(int) = nullptr;
    void (*counts)(long[8]) = nullptr;

    enum Count
    {
        Releases,
        Closes,
        ClosedDuringRead,
        ReadsInside,
        ConfigurationsSet,
        FreedUnreaped,
        Reaps,
        Contexts
    };
    long count(Count which) const
    {
        long all[8] = {};
        counts(all);
        return all[which];
    }
};

} // namespace

class TestLibusb0Transport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void timeOutsAreNotErrors();
    void noByteLostToAPause();
    void unplugWhileAReadIsPending();
    void closeWhileAReadWaits_data();
    void closeWhileAReadWaits();
    void refusedClaim_data();
    void refusedClaim();
    void everyLibraryVersionOpens_data();
    void everyLibraryVersionOpens();
    void wedgedWrite();
    void reopenAfterAStuckRead_data();
    void reopenAfterAStuckRead();

private:
    std::shared_ptr<const libusb0::Library> m_library;
    StandIn m_standIn;
    QString m_peerPort;
};

void TestLibusb0Transport::initTestCase()
{
    const QStringList pair =
        qEnvironmentVariable("PULVANE_TEST_COM_PAIR").split(u';', Qt::SkipEmptyParts);
    if (pair.size() != 2)
        QSKIP("PULVANE_TEST_COM_PAIR names no pair of linked COM ports");
    m_peerPort = pair.at(1);
    qputenv("PULVANE_LIBUSB0_PORT", pair.at(0).toLocal8Bit());
    m_library = libusb0::Library::load().library;
    if (!m_library)
        QSKIP("no libusb0.dll in System32");
    HMODULE module = GetModuleHandleW(L"libusb0.dll");
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    QVERIFY2(QString::fromWCharArray(path).contains(u"system32", Qt::CaseInsensitive),
             qPrintable(QString::fromWCharArray(path)));
    const auto resolve = [module](const char *name, auto *call) {
        *call = reinterpret_cast<std::remove_pointer_t<decltype(call)>>(
            reinterpret_cast<void *>(GetProcAddress(module, name)));
    };
    resolve("standin_unplug", &m_standIn.unplug);
    resolve("standin_hold_reads", &m_standIn.holdReads);
    resolve("standin_wedge_writes", &m_standIn.wedgeWrites);
    resolve("standin_older_library", &m_standIn.olderLibrary);
    resolve("standin_counts", &m_standIn.counts);
    if (!m_standIn.unplug || !m_standIn.holdReads || !m_standIn.wedgeWrites ||
        !m_standIn.olderLibrary || !m_standIn.counts)
        QSKIP("libusb0.dll in System32 is not the test stand-in");
    QCOMPARE(m_library->versionLine(),
             QStringLiteral("libusb0.dll 1.2.7.3, driver libusb0.sys 1.2.7.3"));
}

void TestLibusb0Transport::cleanup()
{
    m_standIn.unplug(0);
    m_standIn.holdReads(0);
    m_standIn.wedgeWrites(0);
    m_standIn.olderLibrary(0);
    // Every transfer of the test given back and freed.
    QTRY_COMPARE(m_standIn.count(StandIn::Contexts), 0L);
    QCOMPARE(m_standIn.count(StandIn::FreedUnreaped), 0L);
}

void TestLibusb0Transport::timeOutsAreNotErrors()
{
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    test::ComPortPeer peer(m_peerPort);
    QVERIFY(peer.isOpen());
    QSignalSpy arrived(&transport, &Transport::bytesArrived);
    QSignalSpy gone(&transport, &Transport::gone);

    // Several reads end on their time-out with nothing come.
    QTest::qWait(5 * Libusb0Transport::kReadTimeoutMs);
    QCOMPARE(gone.count(), 0);
    const QByteArray startup = QByteArray::fromHex("a4016f20ea");
    QVERIFY(peer.write(startup));
    QTRY_COMPARE(test::joinedBytes(arrived), startup);
    const QByteArray reset = QByteArray::fromHex("a4014a00ef");
    QVERIFY(transport.write(reset));
    QCOMPARE(peer.read(reset.size()), reset);
    QCOMPARE(gone.count(), 0);
}

void TestLibusb0Transport::noByteLostToAPause()
{
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    test::ComPortPeer peer(m_peerPort);
    QSignalSpy arrived(&transport, &Transport::bytesArrived);
    QByteArray broadcasts;
    for (char i = 0; i < 5; ++i)
        broadcasts += encodeFrame(broadcastData(0, QByteArray(8, i)));
    // One full packet, a pause longer than any time-out, then the last byte.
    QVERIFY(peer.write(broadcasts.left(64)));
    QTest::qWait(3 * Libusb0Transport::kReadTimeoutMs);
    QVERIFY(peer.write(broadcasts.mid(64)));
    QTRY_COMPARE(test::joinedBytes(arrived).toHex(), broadcasts.toHex());
}

void TestLibusb0Transport::unplugWhileAReadIsPending()
{
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    QSignalSpy gone(&transport, &Transport::gone);
    QTRY_VERIFY(m_standIn.count(StandIn::ReadsInside) > 0);
    // The pending transfer ends aborted: reaped as "timed out", at once, on
    // every reap until submitted again, which fails.
    m_standIn.unplug(1);
    QVERIFY(gone.wait());
    QCOMPARE(gone.first().first().toString(), QStringLiteral("the stick was unplugged"));
    QVERIFY(!transport.isOpen());
    QVERIFY(!transport.write(QByteArray::fromHex("a4014a00ef")));
    // The reader has ended: no read inside the library, none after.
    QTRY_COMPARE(m_standIn.count(StandIn::ReadsInside), 0L);
    const long reaps = m_standIn.count(StandIn::Reaps);
    QTest::qWait(5 * Libusb0Transport::kReadTimeoutMs);
    QCOMPARE(m_standIn.count(StandIn::Reaps), reaps);
    QCOMPARE(gone.count(), 1);
}

void TestLibusb0Transport::closeWhileAReadWaits_data()
{
    QTest::addColumn<bool>("readIgnoresItsTimeOut");
    QTest::newRow("read waiting on its time-out") << false;
    QTest::newRow("read that ignores its time-out") << true;
}

void TestLibusb0Transport::closeWhileAReadWaits()
{
    QFETCH(bool, readIgnoresItsTimeOut);
    const long releases = m_standIn.count(StandIn::Releases);
    const long closes = m_standIn.count(StandIn::Closes);
    const long closedDuringRead = m_standIn.count(StandIn::ClosedDuringRead);
    // Held from the first read on, so the read close() meets is a held one.
    m_standIn.holdReads(readIgnoresItsTimeOut);
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    QTRY_VERIFY(m_standIn.count(StandIn::ReadsInside) > 0);

    transport.close();
    QVERIFY(!transport.isOpen());
    // The device is released and closed only once no read is inside it: by
    // close() itself, or by the reading thread once its read came back.
    QCOMPARE(m_standIn.count(StandIn::Releases), releases + (readIgnoresItsTimeOut ? 0 : 1));
    m_standIn.holdReads(0);
    QTRY_COMPARE(m_standIn.count(StandIn::Closes), closes + 1);
    QCOMPARE(m_standIn.count(StandIn::Releases), releases + 1);
    QCOMPARE(m_standIn.count(StandIn::ClosedDuringRead), closedDuringRead);
}

void TestLibusb0Transport::refusedClaim_data()
{
    // The driver refuses both alike (-5): listed again, the stick tells.
    QTest::addColumn<bool>("pulledOut");
    QTest::addColumn<QString>("why");
    QTest::newRow("held by another program")
        << false
        << QStringLiteral("stick is busy: another program holds it (libusb0-dll:err [stand-in] "
                          "interface held by another handle)");
    QTest::newRow("pulled out before the claim") << true << QStringLiteral("stick is gone");
}

void TestLibusb0Transport::refusedClaim()
{
    QFETCH(bool, pulledOut);
    QFETCH(QString, why);
    Libusb0Transport first(m_library, kStick, QStringLiteral("stick"));
    if (pulledOut)
        m_standIn.unplug(2);
    else if (const auto refused = first.open())
        QFAIL(qPrintable(*refused));
    Libusb0Transport second(m_library, kStick, QStringLiteral("stick"));
    QCOMPARE(second.open().value_or(QString()), why);
    QCOMPARE(first.isOpen(), !pulledOut);
}

void TestLibusb0Transport::everyLibraryVersionOpens_data()
{
    QTest::addColumn<bool>("older");
    QTest::newRow("1.2.x: usb_open knows the configuration") << false;
    QTest::newRow("0.1.12 era: a claim without one is refused") << true;
}

void TestLibusb0Transport::everyLibraryVersionOpens()
{
    QFETCH(bool, older);
    m_standIn.olderLibrary(older);
    const long sets = m_standIn.count(StandIn::ConfigurationsSet);
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    QCOMPARE(m_standIn.count(StandIn::ConfigurationsSet), sets + 1);
}

void TestLibusb0Transport::wedgedWrite()
{
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    test::ComPortPeer peer(m_peerPort);
    m_standIn.wedgeWrites(1);
    QVERIFY(!transport.write(QByteArray::fromHex("a4014a00ef")));
    // Cancelled at its time-out, given back and freed: the reader's own
    // context is the one left.
    QCOMPARE(m_standIn.count(StandIn::Contexts), 1L);
    // The stick still answers once the driver does.
    m_standIn.wedgeWrites(0);
    const QByteArray reset = QByteArray::fromHex("a4014a00ef");
    QVERIFY(transport.write(reset));
    QCOMPARE(peer.read(reset.size()), reset);
    QVERIFY(transport.isOpen());
}

void TestLibusb0Transport::reopenAfterAStuckRead_data()
{
    QTest::addColumn<bool>("readReturns");
    QTest::newRow("the read returns while the new opening waits") << true;
    QTest::newRow("the read does not return") << false;
}

void TestLibusb0Transport::reopenAfterAStuckRead()
{
    QFETCH(bool, readReturns);
    m_standIn.holdReads(1);
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    if (const auto refused = transport.open())
        QFAIL(qPrintable(*refused));
    QTRY_VERIFY(m_standIn.count(StandIn::ReadsInside) > 0);
    transport.close(); // gives up on the read; its thread keeps the stick claimed
    // The read returns a quarter into the new opening's wait, or not at all.
    std::thread letGo([this, readReturns] {
        Sleep(Libusb0Transport::kCloseWaitMs / 4);
        m_standIn.holdReads(!readReturns);
    });
    const std::optional<QString> refused = transport.open();
    letGo.join();
    m_standIn.holdReads(0);
    QVERIFY2(!refused == readReturns, qPrintable(refused.value_or(QString())));
    if (refused)
        QCOMPARE(*refused, QStringLiteral("stick: the previous opening's read has not returned; press "
                                     "START again, or unplug the stick and plug it in again"));
    QVERIFY(m_library->waitForReaders(kStick, 10 * Libusb0Transport::kCloseWaitMs));
}

QTEST_GUILESS_MAIN(TestLibusb0Transport)
#include "tst_libusb0transport.moc"
