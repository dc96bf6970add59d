// What the line for an ANT stick says, by its driver; under Windows (or Wine)
// also the listing itself, against a USB device entry this test registers.
#include "stickdrivers.h"

#include <QTest>

#ifdef Q_OS_WIN
#include "libusb0_win.h"
#include "registereddevice.h"
#include "stickopen.h"

#include <QRegularExpression>
#include <QStandardPaths>
#endif

using namespace pulvane;
using namespace pulvane::ant;
using namespace pulvane::stick;

Q_DECLARE_METATYPE(Libusb0Listing)

class TestStickDrivers : public QObject
{
    Q_OBJECT

private slots:
    void line_data();
    void line();
#ifdef Q_OS_WIN
    void listsARegisteredStick_data();
    void listsARegisteredStick();
#endif
};

void TestStickDrivers::line_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<int>("product");
    QTest::addColumn<unsigned>("problem");
    QTest::addColumn<Libusb0Listing>("libusb0");
    QTest::addColumn<QString>("line");

    const QString usable = QStringLiteral(
        "%1 has the driver %2, which Pulvane uses as it is; if another program holds the stick, "
        "close the training application and press START again");
    const QString troubled = QStringLiteral(
        "%1 has the driver %2, but it does not work: Device Manager shows problem code %3 for "
        "the stick, and its entry there says what to do");
    const QString usbM = QStringLiteral("ANT USB-m stick 0fcf:1009 at Port_#0002.Hub_#0001");
    const QString usb2 = QStringLiteral("ANT USB2 stick 0fcf:1008 at Port_#0002.Hub_#0001");
    const QString bridge =
        QStringLiteral("ANT USB stick 0fcf:1004 (serial bridge) at Port_#0002.Hub_#0001");
    const auto listed = Libusb0Listing::StickListed;
    const auto missing = Libusb0Listing::LibraryMissing;

    QTest::newRow("no driver installed (Device Manager's 28)")
        << QString() << 0x1009 << 28u << listed
        << usbM + " has no driver installed: install the stick maker's driver, the one training "
                  "applications use, and plug the stick in again";
    QTest::newRow("maker's driver")
        << "libusb0" << 0x1008 << 0u << listed << usable.arg(usb2, "libusb0");
    QTest::newRow("maker's driver without its library")
        << "libusb0" << 0x1009 << 0u << missing
        << usbM + " has the driver libusb0, but the driver's library libusb0.dll is missing from "
                  "System32: install the stick maker's driver package again";
    QTest::newRow("maker's driver, its library lists no such stick")
        << "libusb0" << 0x1009 << 0u << Libusb0Listing::StickNotListed
        << usbM + " has the driver libusb0, but the driver's library libusb0.dll lists no such "
                  "stick: plug the stick in again; if it stays unlisted, install the stick "
                  "maker's driver package again";
    QTest::newRow("maker's driver that did not start")
        << "libusb0" << 0x1009 << 10u << missing << troubled.arg(usbM, "libusb0").arg(10);
    QTest::newRow("disabled WinUSB stick")
        << "WinUSB" << 0x1008 << 22u << listed << troubled.arg(usb2, "WinUSB").arg(22);
    QTest::newRow("WinUSB, whatever its case")
        << "WINUSB" << 0x1009 << 0u << missing << usable.arg(usbM, "WINUSB");
    QTest::newRow("libusbK") << "libusbK" << 0x1008 << 0u << missing << usable.arg(usb2, "libusbK");
    QTest::newRow("bridge with USBXpress")
        << "SiUSBXp" << 0x1004 << 0u << listed
        << bridge + " has the driver SiUSBXp (USBXpress), which Pulvane cannot use: the stick "
                    "stays with the application that uses that driver";
    QTest::newRow("bridge with its COM port")
        << "silabser" << 0x1004 << 0u << listed << usable.arg(bridge, "silabser");
    QTest::newRow("bulk-stick driver on the bridge")
        << "libusb0" << 0x1004 << 0u << listed
        << bridge + " has the driver libusb0, through which Pulvane cannot reach it";
    QTest::newRow("bridge driver on a bulk stick")
        << "silabser" << 0x1009 << 0u << listed
        << usbM + " has the driver silabser, through which Pulvane cannot reach it";
}

void TestStickDrivers::line()
{
    QFETCH(QString, service);
    QFETCH(int, product);
    QFETCH(unsigned, problem);
    QFETCH(Libusb0Listing, libusb0);
    QFETCH(QString, line);
    const StickDriverFound stick{
        uint16_t(product), service, QStringLiteral("Port_#0002.Hub_#0001"), {}, problem};
    QCOMPARE(stickDriverLine(stick, libusb0), line);
}

#ifdef Q_OS_WIN
void TestStickDrivers::listsARegisteredStick_data()
{
    // Ports no machine has, named as sticks: each fails to open.
    QTest::addColumn<QString>("named");
    QTest::newRow("no stick listed") << QString();
    QTest::newRow("one stick, which fails") << QStringLiteral("COM201");
    QTest::newRow("more sticks than START asks for, all failing")
        << QStringLiteral("COM201;COM202;COM203;COM204;COM205");
}

void TestStickDrivers::listsARegisteredStick()
{
    // A stick as Windows leaves it once the maker's driver is bound.
    test::RegisteredDevice device(
        GUID_DEVCLASS_USB, L"USB\\VID_0FCF&PID_1009\\PULVANETEST",
        {{SPDRP_HARDWAREID, L"USB\\VID_0FCF&PID_1009&REV_0100|USB\\VID_0FCF&PID_1009"},
         {SPDRP_SERVICE, L"libusb0"},
         {SPDRP_LOCATION_INFORMATION, L"Port_#0007.Hub_#0003"}});
    QVERIFY(device.isRegistered());

    const QList<StickDriverFound> found = scanStickDrivers();
    const auto it = std::find_if(found.begin(), found.end(), [](const StickDriverFound &s) {
        return s.location == QLatin1String("Port_#0007.Hub_#0003");
    });
    QVERIFY2(it != found.end(), "the registered stick is not listed");
    QCOMPARE(it->productId, uint16_t(0x1009));
    QCOMPARE(it->service, QStringLiteral("libusb0"));

    // START asks for sticks 0 to 3 until one opens. When none does, however
    // many are listed, the stick's line comes once per START. The stand-in
    // libusb0.dll, when System32 has it, lists no stick here.
    QFETCH(QString, named);
    qputenv("PULVANE_STICKS", named.toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    const QString line =
        stickDriverLine(*it, libusb0::Library::load() ? Libusb0Listing::StickNotListed
                                                      : Libusb0Listing::LibraryMissing);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(line));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(line));
    QTest::failOnWarning(QRegularExpression(QRegularExpression::escape(line)));
    SystemStickProvider provider;
    QString why;
    for (int start = 0; start < 2; ++start)
        for (int index = 0; index < kStickIndexes; ++index)
            QVERIFY(!provider.openStick(index, 0, &why));
    qunsetenv("PULVANE_STICKS");
}
#endif

QTEST_GUILESS_MAIN(TestStickDrivers)
#include "tst_stickdrivers.moc"
