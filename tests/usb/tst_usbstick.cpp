// The bulk-stick path end to end at the kernel interface: discovery, opening
// (driver detach, claim of interface 0), frames out and in, an unplug in the
// middle of a read, and sticks that are busy or not ours to open.
#include "emulatedstick.h"

#include "antlibrary.h"
#include "antmessages.h"
#include "callbacklog.h"
#include "openfailure.h"
#include "sticklist.h"
#include "stickopen.h"
#include "testenv.h"
#include "usbevents.h"
#include "usbtransport.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <array>

using namespace pulvane;
using namespace pulvane::ant;
using namespace pulvane::stick;
using namespace pulvane::test;

namespace {

// sticks.umockdev: a 0fcf:1008 behind a hub (bus 1, port 1.4, address 7,
// with its kernel tty), a mouse, a 0fcf:1009 (bus 1, port 3, address 3) and
// a 0fcf:1008 on bus 2 (port 1).
const QStringList kNodes{"/dev/bus/usb/001/007", "/dev/bus/usb/001/003", "/dev/bus/usb/002/002"};

} // namespace

class TestUsbStick : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listedOnceInOrder();
    void openClaimsInterfaceZero_data();
    void openClaimsInterfaceZero();
    void framesReachBulkOut_data();
    void framesReachBulkOut();
    void bulkInReachesCallbacks_data();
    void bulkInReachesCallbacks();
    void unpluggedMidRead();
    void closedWhileReadsComplete();
    void closedWhileTransfersCompleteOnTheEventThread();
    void refused_data();
    void refused();
    void failedFirstReadIsReportedAndReleased();

private:
    // No virtual stick of a running simulator may join the list.
    PrivateRuntime m_runtime;
    std::unique_ptr<UsbTestBed> m_bed;
    QList<EmulatedStick *> m_sticks;
};

void TestUsbStick::initTestCase()
{
    if (!qEnvironmentVariableIsSet("LD_PRELOAD"))
        QSKIP("needs umockdev's preload library: run through ctest (umockdev-wrapper)");
    QVERIFY(m_runtime.isValid());
}

void TestUsbStick::init()
{
    m_bed = std::make_unique<UsbTestBed>();
    QVERIFY2(m_bed->addDevices(QStringLiteral("sticks.umockdev")), qPrintable(m_bed->error()));
    m_sticks.clear();
    for (const QString &node : kNodes) {
        EmulatedStick *stick = m_bed->emulate(node);
        QVERIFY2(stick, qPrintable(m_bed->error()));
        m_sticks << stick;
    }
}

void TestUsbStick::cleanup()
{
    for (EmulatedStick *stick : std::as_const(m_sticks))
        QVERIFY2(stick->unknownRequests().isEmpty(),
                 qPrintable(stick->unknownRequests().join(QLatin1Char(' '))));
    m_sticks.clear();
    m_bed.reset();
}

// By bus and port, not by address; the tty of the first stick does not list
// it a second time; the mouse is not a stick.
void TestUsbStick::listedOnceInOrder()
{
    const QList<StickLocation> sticks = findSticks();

    QCOMPARE(sticks.size(), 3);
    for (const StickLocation &s : sticks)
        QCOMPARE(s.kind, StickLocation::Kind::Usb);
    QCOMPARE(sticks.at(0).productId, kUsb2StickProductId);
    QCOMPARE(sticks.at(0).busNumber, 1);
    QCOMPARE(sticks.at(0).portNumbers, (QList<int>{1, 4}));
    QCOMPARE(sticks.at(1).productId, kUsbMStickProductId);
    QCOMPARE(sticks.at(1).busNumber, 1);
    QCOMPARE(sticks.at(1).portNumbers, QList<int>{3});
    QCOMPARE(sticks.at(2).productId, kUsb2StickProductId);
    QCOMPARE(sticks.at(2).busNumber, 2);
    QCOMPARE(sticks.at(2).portNumbers, QList<int>{1});
    QCOMPARE(sticks.at(1).description, "ANT USB stick 0fcf:1009 on bus 1 port 3");
}

void TestUsbStick::openClaimsInterfaceZero_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<EmulatedStick::Driver>("driver");

    QTest::newRow("1008, serial driver bound") << 0 << EmulatedStick::Driver::KernelSerial;
    QTest::newRow("1008, no driver") << 0 << EmulatedStick::Driver::None;
    QTest::newRow("1009, serial driver bound") << 1 << EmulatedStick::Driver::KernelSerial;
    QTest::newRow("1009, no driver") << 1 << EmulatedStick::Driver::None;
}

// The serial driver is detached only where it is bound, and handed back on
// release so that the stick's tty returns.
void TestUsbStick::openClaimsInterfaceZero()
{
    QFETCH(int, index);
    QFETCH(EmulatedStick::Driver, driver);
    EmulatedStick *stick = m_sticks.at(index);
    stick->setDriver(driver);
    const bool bound = driver == EmulatedStick::Driver::KernelSerial;

    SystemStickProvider provider;
    AntLibrary library(provider);
    QCOMPARE(library.ANT_Init(uint8_t(index), 57600), 1);

    QVERIFY(stick->claimed());
    QCOMPARE(stick->driverDetached(), bound);
    QCOMPARE(stick->pendingReads(), 1);
    for (EmulatedStick *other : std::as_const(m_sticks))
        QCOMPARE(other->claimed(), other == stick);

    library.ANT_Close();

    QVERIFY(!stick->claimed());
    QVERIFY(stick->released());
    QCOMPARE(stick->driverReattached(), bound);
    QCOMPARE(stick->pendingReads(), 0);
    QVERIFY(!library.ANT_ResetSystem());
}

void TestUsbStick::framesReachBulkOut_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("0fcf:1008") << 0;
    QTest::newRow("0fcf:1009") << 1;
}

void TestUsbStick::framesReachBulkOut()
{
    QFETCH(int, index);
    SystemStickProvider provider;
    AntLibrary library(provider);
    QCOMPARE(library.ANT_Init(uint8_t(index), 57600), 1);

    QVERIFY(library.ANT_ResetSystem());
    QVERIFY(library.ANT_AssignChannel(0, 0, 0));
    QVERIFY(library.ANT_SetChannelId(0, 0, 120, 0));
    QVERIFY(library.ANT_SetChannelPeriod(0, 8070));
    QVERIFY(library.ANT_SetProximitySearch(0, 4));
    QVERIFY(library.ANT_SetChannelSearchTimeout(0, 250));
    QVERIFY(library.ANT_SetChannelRFFreq(0, 57));
    QVERIFY(library.ANT_OpenChannel(0));
    QVERIFY(library.ANT_RequestMessage(0, 0x51));

    // Written out by hand, not by the codec under test.
    const QByteArray expected = hex("A4 01 4A 00 EF"
                                    "A4 03 42 00 00 00 E5"
                                    "A4 05 51 00 00 00 78 00 88"
                                    "A4 03 43 00 86 1F 7D"
                                    "A4 02 71 00 04 D3"
                                    "A4 02 44 00 FA 18"
                                    "A4 02 45 00 39 DA"
                                    "A4 01 4B 00 EE"
                                    "A4 02 4D 00 51 BA");
    QTRY_COMPARE(m_sticks.at(index)->outBytes().toHex(' '), expected.toHex(' '));
    for (EmulatedStick *other : std::as_const(m_sticks))
        if (other != m_sticks.at(index))
            QVERIFY(other->outBytes().isEmpty());
}

void TestUsbStick::bulkInReachesCallbacks_data()
{
    QTest::addColumn<QList<int>>("cuts");

    // Five frames of 5, 7, 13, 7 and 9 bytes: 41 in all, frame ends at 5,
    // 12, 25, 32.
    QTest::newRow("a frame per transfer") << QList<int>{5, 12, 25, 32};
    QTest::newRow("all in one transfer") << QList<int>{};
    QTest::newRow("cut in the middle of each frame") << QList<int>{3, 9, 18, 28, 37};
    QTest::newRow("cut after sync, length, ID") << QList<int>{1, 7, 14, 40};
    QTest::newRow("merged and split") << QList<int>{8, 30};
    QList<int> everyByte;
    for (int i = 1; i < 41; ++i)
        everyByte << i;
    QTest::newRow("a byte per transfer") << everyByte;
}

// Whatever the transfers' boundaries, each message reaches its callback
// once, in order, with its own bytes in the buffer.
void TestUsbStick::bulkInReachesCallbacks()
{
    QFETCH(QList<int>, cuts);
    const QByteArray payload = hex("04 8C 2F 1D C6 8E 20 48");
    const QByteArray stream = frames({startup(kStartupCommandReset), channelResponse(0, 0x46, 0),
                                      broadcastData(0, payload), channelEvent(0, kEventRxFail),
                                      channelId(0, 12345, 120, 1)});
    QCOMPARE(stream.size(), 41);

    SystemStickProvider provider;
    AntLibrary library(provider);
    CallbackLog log;
    log.attach(library);
    QCOMPARE(library.ANT_Init(0, 57600), 1);
    m_sticks.at(0)->queueIn(cutAt(stream, cuts));

    const QStringList expected{
        "R 0 6f ", "R 0 40 ", "E 0 9a 00048c2f1dc68e2048", "E 0 02 000102000000000000", "R 0 51 ",
    };
    QTRY_COMPARE(log.calls.size(), expected.size());
    QCOMPARE(log.calls, expected);
    // The last response's buffer: channel, device number (little-endian),
    // device type, transmission type.
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(log.response.data()), 5).toHex(' '),
             QByteArray("00 39 30 78 01"));
}

// The read in flight ends with the device: the library lets go once, the
// node sees no more requests (nothing keeps polling a dead stick), and
// operations fail quietly.
void TestUsbStick::unpluggedMidRead()
{
    SystemStickProvider provider;
    AntLibrary library(provider);
    CallbackLog log;
    log.attach(library);
    QCOMPARE(library.ANT_Init(0, 57600), 1);
    EmulatedStick *stick = m_sticks.at(0);
    // Half a frame is on its way when the stick goes.
    stick->queueIn({hex("A4 03 40 00 46")});
    QSignalSpy gone(&library, &AntLibrary::stickGone);
    QTRY_COMPARE(stick->pendingReads(), 1);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("went away: the stick was unplugged"));
    stick->unplug();
    QVERIFY(gone.wait(5000));
    QVERIFY(!library.isOpen());
    QVERIFY(log.calls.isEmpty());

    const int requests = stick->requests();
    QTest::qWait(300);
    QCOMPARE(stick->requests(), requests);
    QCOMPARE(gone.size(), 1);
    QVERIFY(!library.ANT_ResetSystem());
    library.ANT_Close();
    QCOMPARE(stick->requests(), requests);
}

// Reads keep completing while STOP closes the stick: the read that close()
// cancels may already be done, and it must not go out again, or a transfer
// nobody cancels stays behind on a released stick.
void TestUsbStick::closedWhileReadsComplete()
{
    SystemStickProvider provider;
    AntLibrary library(provider);
    QCOMPARE(library.ANT_Init(0, 57600), 1);
    EmulatedStick *stick = m_sticks.at(0);
    QTRY_COMPARE(stick->pendingReads(), 1);
    stick->queueIn(
        QList<QByteArray>(64, encodeFrame(broadcastData(0, hex("00 00 00 00 00 00 00 48")))));
    library.ANT_Close();
    QVERIFY(stick->released());
    QCOMPARE(stick->pendingReads(), 0);
    const int requests = stick->requests();
    QTest::qWait(100);
    QCOMPARE(stick->requests(), requests);
}

// The same with callbacks on libusb's event thread (as on Windows): close()
// never touches a transfer a callback has freed (the sanitizer build sees any
// such touch). Many rounds: each close meets the completions elsewhere.
void TestUsbStick::closedWhileTransfersCompleteOnTheEventThread()
{
    EmulatedStick *stick = m_sticks.at(0);
    const QByteArray broadcast = encodeFrame(broadcastData(0, hex("00 00 00 00 00 00 00 48")));
    for (int round = 0; round < 60; ++round) {
        UsbTransport usb(1, {1, 4}, QStringLiteral("stick"),
                         std::make_unique<UsbEventThreadDriver>());
        if (const auto refused = usb.open())
            QFAIL(qPrintable(*refused));
        stick->queueIn(QList<QByteArray>(8, broadcast));
        for (int i = 0; i < 4; ++i)
            QVERIFY(usb.write(broadcast));
        QThread::usleep(round * 50);
        usb.close();
        QVERIFY(stick->released());
        QCOMPARE(stick->pendingReads(), 0);
    }
}

void TestUsbStick::refused_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("hint");

    QTest::newRow("claimed by another program")
        << 0 << true
        << "ANT stick 0 not opened: ANT USB stick 0fcf:1008 on bus 1 port 1.4 is busy: ";
    // The 1009 has no tty to fall back on, so its bulk interface is tried.
    // The hint depends on where this machine has the udev rule
    // (tst_sticklist's permission rows).
    QTest::newRow("no permission")
        << 1 << false
        << "ANT stick 1 not opened: " +
               permissionReason("/dev/bus/usb/001/003", PermissionHint::UdevRule);
}

void TestUsbStick::refused()
{
    QFETCH(int, index);
    QFETCH(bool, busy);
    QFETCH(QString, hint);
    EmulatedStick *stick = m_sticks.at(index);
    if (busy)
        stick->setDriver(EmulatedStick::Driver::OtherProgram);
    else
        QVERIFY(m_bed->makeUnwritable(kNodes.at(index)));

    SystemStickProvider provider;
    AntLibrary library(provider);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(hint)));
    int opened = -1;
    if (busy) {
        opened = library.ANT_Init(uint8_t(index), 57600);
    } else {
        PermissionDropped user;
        QVERIFY(user.ok());
        opened = library.ANT_Init(uint8_t(index), 57600);
    }
    QCOMPARE(opened, 0);
    QVERIFY(!library.isOpen());
    QVERIFY(!stick->claimed());
    QCOMPARE(stick->pendingReads(), 0);
}

// A stick that takes the claim but refuses the first read: the failure is
// reported, and everything claimed so far let go (a second attempt fails the
// same way instead of finding the interface still claimed).
void TestUsbStick::failedFirstReadIsReportedAndReleased()
{
    EmulatedStick *stick = m_sticks.at(0);
    stick->refuseReads();
    SystemStickProvider provider;
    AntLibrary library(provider);
    for (int attempt = 0; attempt < 2; ++attempt) {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("ANT stick 0 not opened: ANT USB stick 0fcf:1008 "
                                                "on bus 1 port 1.4: Input/Output Error"));
        QCOMPARE(library.ANT_Init(0, 57600), 0);
        QVERIFY(!library.isOpen());
        QVERIFY(!library.ANT_ResetSystem());
        QVERIFY(stick->released());
        QVERIFY(!stick->claimed());
    }
}

QTEST_GUILESS_MAIN(TestUsbStick)
#include "tst_usbstick.moc"
