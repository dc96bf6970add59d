// The libusb-win32 transport over the test stand-in of libusb0.dll
// (libusb0standin.cpp), which scripts/test-windows.sh puts into the Wine
// prefix's System32. The stand-in's stick carries its bulk endpoints to the
// first COM port of PULVANE_TEST_COM_PAIR; the test speaks through the second
// as the stick would. Without the stand-in or the pair the test skips itself.
#include "antframe.h"
#include "comportpeer.h"
#include "libusb0_win.h"
#include "libusb0transport_win.h"

#include <QFile>
#include <QScopeGuard>
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
    void (*configuration)(int, int) = nullptr;
    void (*counts)(long[6]) = nullptr;

    enum Count
    {
        Releases,
        Closes,
        ClosedDuringRead,
        ReadsInside,
        ConfigurationsSet,
        FreedUnreaped
    };
    long count(Count which) const
    {
        long all[6] = {};
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
    void loadFailureNamesTheSystemError_data();
    void loadFailureNamesTheSystemError();
    void timeOutsAreNotErrors();
    void noByteLostAcrossASilence_data();
    void noByteLostAcrossASilence();
    void aGoneStickIs();
    void closeWhileAReadWaits_data();
    void closeWhileAReadWaits();
    void secondOpenIsBusy();
    void configurationOnlyWhereNone_data();
    void configurationOnlyWhereNone();
    void reopenAfterAStuckRead_data();
    void reopenAfterAStuckRead();

private:
    // Loads System32's libusb0.dll and the stand-in's own calls; false when
    // it is not the stand-in.
    bool loadStandIn();

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
    m_library = libusb0::Library::load();
    if (!m_library)
        QSKIP("no libusb0.dll in System32");
    HMODULE module = GetModuleHandleW(L"libusb0.dll");
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    QVERIFY2(QString::fromWCharArray(path).contains(u"system32", Qt::CaseInsensitive),
             qPrintable(QString::fromWCharArray(path)));
    if (!loadStandIn())
        QSKIP("libusb0.dll in System32 is not the test stand-in");
    QCOMPARE(m_library->versionLine(),
             QStringLiteral("libusb0.dll 1.2.7.3, driver libusb0.sys 1.2.7.3"));
}

bool TestLibusb0Transport::loadStandIn()
{
    m_library = libusb0::Library::load();
    HMODULE module = GetModuleHandleW(L"libusb0.dll");
    const auto resolve = [module](const char *name, auto *call) {
        *call = reinterpret_cast<std::remove_pointer_t<decltype(call)>>(
            reinterpret_cast<void *>(GetProcAddress(module, name)));
        return *call != nullptr;
    };
    return m_library && resolve("standin_unplug", &m_standIn.unplug) &&
           resolve("standin_hold_reads", &m_standIn.holdReads) &&
           resolve("standin_configuration", &m_standIn.configuration) &&
           resolve("standin_counts", &m_standIn.counts);
}

void TestLibusb0Transport::cleanup()
{
    m_standIn.unplug(0);
    m_standIn.holdReads(0);
    m_standIn.configuration(1, 0);
}

void TestLibusb0Transport::loadFailureNamesTheSystemError_data()
{
    // What lies in System32 instead of the library (nothing when empty).
    QTest::addColumn<QByteArray>("instead");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no library")
        << QByteArray()
        << QStringLiteral("libusb0.dll could not be loaded from System32 (error 126: ");
    QTest::newRow("no library for this machine")
        << QByteArray("MZ")
        << QStringLiteral("libusb0.dll could not be loaded from System32 "
                          "(error 193: libusb0.dll is not a valid Win32 ");
}

void TestLibusb0Transport::loadFailureNamesTheSystemError()
{
    QFETCH(QByteArray, instead);
    QFETCH(QString, reason);
    m_library.reset();
    QVERIFY(!GetModuleHandleW(L"libusb0.dll"));
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const QString dll = QString::fromWCharArray(system) + QStringLiteral("/libusb0.dll");
    const QString kept = dll + QStringLiteral(".kept");
    QVERIFY(QFile::rename(dll, kept));
    const auto restore = qScopeGuard([&] {
        QFile::remove(dll);
        QFile::rename(kept, dll);
        QVERIFY(loadStandIn());
    });
    QFile file(dll);
    QVERIFY(instead.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(instead) > 0));
    file.close();
    const QString failure = libusb0::Library::loadFailure();
    QVERIFY2(failure.startsWith(reason), qPrintable(failure));
}

void TestLibusb0Transport::timeOutsAreNotErrors()
{
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    QString why;
    QVERIFY2(transport.open(&why), qPrintable(why));
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

void TestLibusb0Transport::noByteLostAcrossASilence_data()
{
    // Broadcasts of 13 bytes each, and how many bytes come before the pause.
    QTest::addColumn<int>("broadcasts");
    QTest::addColumn<int>("beforePause");
    QTest::newRow("one full packet: four broadcasts and 12 bytes of a fifth") << 5 << 64;
    QTest::newRow("a full buffer of eight packets") << 40 << 512;
}

void TestLibusb0Transport::noByteLostAcrossASilence()
{
    QFETCH(int, broadcasts);
    QFETCH(int, beforePause);
    QByteArray all;
    for (int i = 0; i < broadcasts; ++i)
        all += encodeFrame(broadcastData(0, QByteArray(8, char(i))));
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    QString why;
    QVERIFY2(transport.open(&why), qPrintable(why));
    test::ComPortPeer peer(m_peerPort);
    QVERIFY(peer.isOpen());
    QSignalSpy arrived(&transport, &Transport::bytesArrived);

    QVERIFY(peer.write(all.left(beforePause)));
    // Longer than any read's time-out.
    QTest::qWait(3 * Libusb0Transport::kReadTimeoutMs);
    QVERIFY(peer.write(all.mid(beforePause)));
    QTRY_COMPARE(test::joinedBytes(arrived).toHex(), all.toHex());
}

void TestLibusb0Transport::aGoneStickIs()
{
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    QString why;
    QVERIFY2(transport.open(&why), qPrintable(why));
    QSignalSpy gone(&transport, &Transport::gone);
    m_standIn.unplug(1);
    QVERIFY(gone.wait());
    QCOMPARE(gone.first().first().toString(), QStringLiteral("the stick was unplugged"));
    QVERIFY(!transport.isOpen());
    QVERIFY(!transport.write(QByteArray::fromHex("a4014a00ef")));
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
    QString why;
    QVERIFY2(transport.open(&why), qPrintable(why));
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
    QCOMPARE(m_standIn.count(StandIn::FreedUnreaped), 0);
}

void TestLibusb0Transport::secondOpenIsBusy()
{
    Libusb0Transport first(m_library, kStick, QStringLiteral("stick"));
    QString why;
    QVERIFY2(first.open(&why), qPrintable(why));
    Libusb0Transport second(m_library, kStick, QStringLiteral("stick"));
    QVERIFY(!second.open(&why));
    // The claim's own text, not that of the first one's reader timing out.
    QCOMPARE(why, QStringLiteral("stick is busy: another program holds it (libusb0-dll:err "
                                 "[stand-in] interface held by another handle)"));
    QVERIFY(first.isOpen());
}

void TestLibusb0Transport::configurationOnlyWhereNone_data()
{
    QTest::addColumn<int>("current");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("setsExpected");
    QTest::newRow("a configured stick is left as it is") << 1 << false << 0;
    QTest::newRow("a stick without one gets configuration 1") << 0 << false << 1;
    QTest::newRow("a refusal still reaches the claim") << 0 << true << 1;
}

void TestLibusb0Transport::configurationOnlyWhereNone()
{
    QFETCH(int, current);
    QFETCH(bool, refused);
    QFETCH(int, setsExpected);
    m_standIn.configuration(current, refused);
    const long sets = m_standIn.count(StandIn::ConfigurationsSet);
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    QString why;
    QVERIFY2(transport.open(&why), qPrintable(why));
    QCOMPARE(m_standIn.count(StandIn::ConfigurationsSet) - sets, long(setsExpected));
}

void TestLibusb0Transport::reopenAfterAStuckRead_data()
{
    QTest::addColumn<bool>("readReturns");
    QTest::newRow("the read returns while the new opening waits") << true;
    QTest::newRow("the read never returns") << false;
}

void TestLibusb0Transport::reopenAfterAStuckRead()
{
    QFETCH(bool, readReturns);
    m_standIn.holdReads(1);
    Libusb0Transport transport(m_library, kStick, QStringLiteral("stick"));
    QString why;
    QVERIFY2(transport.open(&why), qPrintable(why));
    QTRY_VERIFY(m_standIn.count(StandIn::ReadsInside) > 0);
    // Gives up waiting: the reader keeps the stick claimed.
    transport.close();

    std::thread letGo;
    if (readReturns)
        letGo = std::thread([this] {
            Sleep(Libusb0Transport::kCloseWaitMs / 4);
            m_standIn.holdReads(0);
        });
    const bool opened = transport.open(&why);
    if (letGo.joinable())
        letGo.join();
    m_standIn.holdReads(0);
    if (readReturns) {
        QVERIFY2(opened, qPrintable(why));
    } else {
        QVERIFY(!opened);
        QCOMPARE(why, QStringLiteral("stick: the previous opening's read has not returned; press "
                                     "START again, or unplug the stick and plug it in again"));
    }
    QVERIFY(m_library->waitForReaders(kStick, 10 * Libusb0Transport::kCloseWaitMs));
}

QTEST_GUILESS_MAIN(TestLibusb0Transport)
#include "tst_libusb0transport.moc"
