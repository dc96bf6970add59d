// What SetupAPI says about COM ports, read into vendor, product and USB port
// chain; under Windows (or Wine) also the listing itself, against a port
// device this test registers.
#include "comports.h"

#include <QTest>

#ifdef Q_OS_WIN
#include "registereddevice.h"
#endif

using namespace pulvane;
using namespace pulvane::stick;

Q_DECLARE_METATYPE(std::optional<UsbIds>)

class TestComPorts : public QObject
{
    Q_OBJECT

private slots:
    void hardwareIds_data();
    void hardwareIds();
    void locationPath_data();
    void locationPath();
    void placeOfADevice_data();
    void placeOfADevice();
    void multiString_data();
    void multiString();
#ifdef Q_OS_WIN
    void listsARegisteredPort();
#endif
};

void TestComPorts::hardwareIds_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<int>("vendor"); // -1: none
    QTest::addColumn<int>("product");

    QTest::newRow("bridge stick") << QStringList{QStringLiteral("USB\\VID_0FCF&PID_1004&REV_0100"),
                                                 QStringLiteral("USB\\VID_0FCF&PID_1004")}
                                  << 0x0FCF << 0x1004;
    QTest::newRow("lower case hex")
        << QStringList{QStringLiteral("USB\\VID_0fcf&PID_1009")} << 0x0FCF << 0x1009;
    QTest::newRow("bus driver prefix")
        << QStringList{QStringLiteral("FTDIBUS\\COMPORT&VID_0403&PID_6001")} << 0x0403 << 0x6001;
    QTest::newRow("first usable of several")
        << QStringList{QStringLiteral("ACPI\\PNP0501"), QStringLiteral("USB\\VID_10C4&PID_EA60")}
        << 0x10C4 << 0xEA60;
    QTest::newRow("built-in port")
        << QStringList{QStringLiteral("ACPI\\PNP0501"), QStringLiteral("*PNP0501")} << -1 << -1;
    QTest::newRow("vendor without product")
        << QStringList{QStringLiteral("USB\\VID_0FCF")} << -1 << -1;
    QTest::newRow("too few digits")
        << QStringList{QStringLiteral("USB\\VID_FCF&PID_1004")} << -1 << -1;
    // A longer run of digits is some other field, not a 16-bit ID.
    QTest::newRow("too many digits")
        << QStringList{QStringLiteral("USB\\VID_0FCF1&PID_1004")} << -1 << -1;
    QTest::newRow("ID inside a word")
        << QStringList{QStringLiteral("USB\\XVID_0FCF&PID_1004")} << -1 << -1;
    QTest::newRow("nothing") << QStringList{} << -1 << -1;
}

void TestComPorts::hardwareIds()
{
    QFETCH(QStringList, ids);
    QFETCH(int, vendor);
    QFETCH(int, product);
    const std::optional<UsbIds> found = usbIdsFromHardwareIds(ids);
    QCOMPARE(found.has_value(), vendor >= 0);
    if (found) {
        QCOMPARE(int(found->vendorId), vendor);
        QCOMPARE(int(found->productId), product);
    }
}

void TestComPorts::locationPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QList<int>>("ports");
    QTest::newRow("behind a hub") << QStringLiteral("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)")
                                  << QList<int>{2, 4};
    QTest::newRow("interface of a composite device")
        << QStringLiteral("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USBMI(0)") << QList<int>{3};
    QTest::newRow("not on USB") << QStringLiteral("ACPI(_SB_)#ACPI(PCI0)#ACPI(UAR1)")
                                << QList<int>{};
    QTest::newRow("malformed part") << QStringLiteral("USBROOT(0)#USB(x)#USB(7)") << QList<int>{7};
    QTest::newRow("empty") << QString() << QList<int>{};
}

void TestComPorts::locationPath()
{
    QFETCH(QString, path);
    QFETCH(QList<int>, ports);
    QCOMPARE(usbPortsFromLocationPath(path), ports);
}

void TestComPorts::placeOfADevice_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("information");
    QTest::addColumn<QList<int>>("ports");
    QTest::addColumn<int>("ownPort");
    const QString acpi = QStringLiteral("ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS03)");
    const QString usb = QStringLiteral("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)");
    QTest::newRow("an ACPI path first")
        << QStringList{acpi, usb} << QStringLiteral("Port_#0003.Hub_#0002") << QList<int>{1, 3}
        << 3;
    QTest::newRow("no USB path") << QStringList{acpi} << QStringLiteral("Port_#0004.Hub_#0001")
                                 << QList<int>{} << 4;
    QTest::newRow("neither") << QStringList{} << QStringLiteral("0000.0014") << QList<int>{} << 0;
}

void TestComPorts::placeOfADevice()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, information);
    QFETCH(QList<int>, ports);
    QFETCH(int, ownPort);
    QCOMPARE(usbPortsFromLocationPaths(paths), ports);
    QCOMPARE(usbPortFromLocationInformation(information), ownPort);
}

void TestComPorts::multiString_data()
{
    QTest::addColumn<QString>("raw"); // '|' stands for a nul
    QTest::addColumn<QStringList>("strings");
    QTest::newRow("two strings") << QStringLiteral("ab|cd||") << QStringList{"ab", "cd"};
    QTest::newRow("one string") << QStringLiteral("COM5||") << QStringList{"COM5"};
    QTest::newRow("empty list") << QStringLiteral("|") << QStringList{};
    QTest::newRow("no terminator") << QStringLiteral("ab|cd") << QStringList{"ab", "cd"};
    QTest::newRow("stops at the empty string") << QStringLiteral("ab||zz||") << QStringList{"ab"};
}

void TestComPorts::multiString()
{
    QFETCH(QString, raw);
    QFETCH(QStringList, strings);
    std::wstring data = raw.toStdWString();
    for (wchar_t &c : data)
        if (c == L'|')
            c = L'\0';
    QCOMPARE(multiStringList(data.data(), data.size()), strings);
}

#ifdef Q_OS_WIN
void TestComPorts::listsARegisteredPort()
{
    // A port device as a USB-serial driver would leave it: Ports class,
    // hardware IDs, and PortName in its device key.
    test::RegisteredDevice device(
        GUID_DEVCLASS_PORTS, L"PULVANETESTPORT",
        {{SPDRP_HARDWAREID, L"USB\\VID_0FCF&PID_1004&REV_0100|USB\\VID_0FCF&PID_1004"}});
    QVERIFY(device.isRegistered());
    QVERIFY(device.setDeviceValue(L"PortName", L"COM97"));

    const QList<ComPortFound> found = scanComPorts();
    const auto it = std::find_if(found.begin(), found.end(), [](const ComPortFound &p) {
        return p.port == QLatin1String("COM97");
    });
    QVERIFY2(it != found.end(), "the registered port is not listed");
    QVERIFY(it->usb.has_value());
    QCOMPARE(it->usb->vendorId, uint16_t(0x0FCF));
    QCOMPARE(it->usb->productId, uint16_t(0x1004));
    QVERIFY(!it->friendlyName.isEmpty());
}
#endif

QTEST_GUILESS_MAIN(TestComPorts)
#include "tst_comports.moc"
