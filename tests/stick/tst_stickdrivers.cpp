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

class TestStickDrivers : public QObject
{
    Q_OBJECT

private slots:
    void line_data();
    void line();
    void lineOfATroubledDriver();
#ifdef Q_OS_WIN
    void listsARegisteredStick();
#endif
};

void TestStickDrivers::line_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<int>("product");
    QTest::addColumn<bool>("libusb0Present");
    QTest::addColumn<QString>("line");

    const QString usable = QStringLiteral(
        "%1 has the driver %2, which Pulvane uses as it is; if another program holds the stick, "
        "close the training application and press START again");
    const QString usbM = QStringLiteral("ANT USB-m stick 0fcf:1009 at Port_#0002.Hub_#0001");
    const QString usb2 = QStringLiteral("ANT USB2 stick 0fcf:1008 at Port_#0002.Hub_#0001");
    const QString bridge =
        QStringLiteral("ANT USB stick 0fcf:1004 (serial bridge) at Port_#0002.Hub_#0001");

    QTest::newRow("no driver installed")
        << QString() << 0x1009 << true
        << usbM + " has no driver installed: install the stick maker's driver, the one training "
                  "applications use, and plug the stick in again";
    QTest::newRow("maker's driver") << "libusb0" << 0x1008 << true << usable.arg(usb2, "libusb0");
    QTest::newRow("maker's driver without its library")
        << "libusb0" << 0x1009 << false
        << usbM + " has the driver libusb0, but the driver's library libusb0.dll could not be "
                  "loaded from System32: install the stick maker's driver package again";
    QTest::newRow("WinUSB, whatever its case")
        << "WINUSB" << 0x1009 << false << usable.arg(usbM, "WINUSB");
    QTest::newRow("libusbK") << "libusbK" << 0x1008 << false << usable.arg(usb2, "libusbK");
    QTest::newRow("bridge with USBXpress")
        << "SiUSBXp" << 0x1004 << true
        << bridge + " has the driver SiUSBXp (USBXpress), which Pulvane cannot use: the stick "
                    "stays with the application that uses that driver";
    QTest::newRow("bridge with its COM port")
        << "silabser" << 0x1004 << true << usable.arg(bridge, "silabser");
    QTest::newRow("bulk-stick driver on the bridge")
        << "libusb0" << 0x1004 << true
        << bridge + " has the driver libusb0, through which Pulvane cannot reach it";
    QTest::newRow("bridge driver on a bulk stick")
        << "silabser" << 0x1009 << true
        << usbM + " has the driver silabser, through which Pulvane cannot reach it";
}

void TestStickDrivers::line()
{
    QFETCH(QString, service);
    QFETCH(int, product);
    QFETCH(bool, libusb0Present);
    QFETCH(QString, line);
    const StickDriverFound stick{uint16_t(product), service,
                                 QStringLiteral("Port_#0002.Hub_#0001")};
    QCOMPARE(stickDriverLine(stick, libusb0Present ? Libusb0Listing::StickListed
                                                   : Libusb0Listing::LibraryMissing),
             line);
}

void TestStickDrivers::lineOfATroubledDriver()
{
    const QString name = QStringLiteral("ANT USB-m stick 0fcf:1009 has the driver libusb0, but ");
    QCOMPARE(
        stickDriverLine({kUsbMStickProductId, "libusb0", {}, {}, 10}, Libusb0Listing::StickListed),
        name + "it does not work: Device Manager shows problem code 10 for the stick, and "
               "its entry there says what to do");
    QCOMPARE(stickDriverLine({kUsbMStickProductId, "libusb0"}, Libusb0Listing::StickNotListed),
             name + "the driver's library libusb0.dll lists no such stick: plug the stick in "
                    "again; if it stays unlisted, install the stick maker's driver package again");
    // libusb0.sys under another service name, or as an upper filter.
    StickDriverFound renamed;
    renamed.productId = kUsbMStickProductId;
    renamed.service = QStringLiteral("AntUsb");
    renamed.libusb0Driver = true;
    QVERIFY(stickDriverLine(renamed, Libusb0Listing::LibraryMissing)
                .startsWith(name + "the driver's library libusb0.dll could not be loaded"));
}

#ifdef Q_OS_WIN
void TestStickDrivers::listsARegisteredStick()
{
    // A stick as Windows leaves it once the maker's driver is bound (here as
    // an upper filter of a driver of another name).
    test::RegisteredDevice device(
        GUID_DEVCLASS_USB, L"USB\\VID_0FCF&PID_1009\\PULVANETEST",
        {{SPDRP_HARDWAREID, L"USB\\VID_0FCF&PID_1009&REV_0100|USB\\VID_0FCF&PID_1009"},
         {SPDRP_SERVICE, L"AntUsb"},
         {SPDRP_UPPERFILTERS, L"SomeFilter|libusb0"},
         {SPDRP_LOCATION_INFORMATION, L"Port_#0007.Hub_#0003"}});
    QVERIFY(device.isRegistered());

    const QList<StickDriverFound> found = scanStickDrivers();
    const auto it = std::find_if(found.begin(), found.end(), [](const StickDriverFound &s) {
        return s.location == QLatin1String("Port_#0007.Hub_#0003");
    });
    QVERIFY2(it != found.end(), "the registered stick is not listed");
    QCOMPARE(it->productId, uint16_t(0x1009));
    QVERIFY(it->libusb0Driver);
    QCOMPARE(it->portNumbers, QList<int>{7});
    QVERIFY(it->ownPortOnly);

    // Five sticks that fail (ports no machine has), none through libusb0.dll:
    // START asks for 0 to 3, and the stick's line comes once per START.
    qputenv("PULVANE_STICKS", "COM201;COM202;COM203;COM204;COM205");
    QStandardPaths::setTestModeEnabled(true);
    const QString line =
        stickDriverLine(*it, libusb0::Library::load() ? Libusb0Listing::StickNotListed
                                                      : Libusb0Listing::LibraryMissing);
    // Each START also says which libusb0.dll it found, or why none loaded.
    const QRegularExpression libraryLine(
        libusb0::Library::load() ? QStringLiteral("^libusb0\\.dll \\S+, driver libusb0\\.sys ")
                                 : QStringLiteral("^libusb0\\.dll could not be loaded from "
                                                  "System32 \\(error 126: "));
    for (int start = 0; start < 2; ++start) {
        QTest::ignoreMessage(QtWarningMsg, libraryLine);
        QTest::ignoreMessage(QtWarningMsg, qPrintable(line));
    }
    QTest::failOnWarning(QRegularExpression(QRegularExpression::escape(line)));
    SystemStickProvider provider;
    for (int start = 0; start < 2; ++start) {
        for (int index = 0; index < kStickIndexes; ++index) {
            const ant::OpenedStick opened = provider.openStick(index, 0);
            QVERIFY(!opened);
            const QString &why = opened.why;
            // The attempts of one START go through the list made at its first.
            QVERIFY2(why.contains(QStringLiteral("COM20%1").arg(index + 1)), qPrintable(why));
            qputenv("PULVANE_STICKS",
                    index + 1 < kStickIndexes ? "COM201" : "COM201;COM202;COM203;COM204;COM205");
        }
    }
    qunsetenv("PULVANE_STICKS");
}
#endif

QTEST_GUILESS_MAIN(TestStickDrivers)
#include "tst_stickdrivers.moc"
