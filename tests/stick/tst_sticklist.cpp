#include "openfailure.h"
#include "sticklist_p.h"

#include <QTest>

using namespace pulvane::stick;

Q_DECLARE_METATYPE(QList<BulkStickFound>)
Q_DECLARE_METATYPE(QList<SerialStickFound>)
Q_DECLARE_METATYPE(QList<VirtualStickFound>)
Q_DECLARE_METATYPE(QList<StickDriverFound>)
Q_DECLARE_METATYPE(UdevRule)

namespace {

BulkStickFound bulk(int bus, const QList<int> &ports, int address, bool reachable)
{
    BulkStickFound found;
    found.location.kind = StickLocation::Kind::Usb;
    found.location.busNumber = bus;
    found.location.portNumbers = ports;
    found.location.productId = kUsb2StickProductId;
    found.deviceAddress = address;
    found.reachable = reachable;
    return found;
}

// A stick with its maker's driver, as libusb0.dll names it (Windows).
BulkStickFound libusb0Stick(const QString &name)
{
    return libusb0StickFound(name, kUsbMStickProductId);
}

SerialStickFound node(const QString &path, int bus, const QList<int> &ports, int address,
                      bool readWrite = true)
{
    SerialStickFound found;
    found.node = path;
    found.target = path;
    found.productId = kBridgeStickProductId;
    found.busNumber = bus;
    found.portNumbers = ports;
    found.deviceAddress = address;
    found.readWrite = readWrite;
    return found;
}

VirtualStickFound entry(const QString &name, const QString &target)
{
    VirtualStickFound found;
    found.location.kind = StickLocation::Kind::Virtual;
    found.location.path = QStringLiteral("/run/user/1000/pulvane/sticks/") + name;
    found.target = target;
    return found;
}

// "usb 1-2.3", "serial /dev/ttyUSB0", "virtual <entry name>".
QString brief(const StickLocation &stick)
{
    switch (stick.kind) {
    case StickLocation::Kind::Usb: {
        QStringList ports;
        for (int p : stick.portNumbers)
            ports << QString::number(p);
        return QStringLiteral("usb %1-%2").arg(stick.busNumber).arg(ports.join(u'.'));
    }
    case StickLocation::Kind::Libusb0:
        return QStringLiteral("libusb0 ") + stick.path;
    case StickLocation::Kind::Serial:
        return QStringLiteral("serial ") + stick.path;
    case StickLocation::Kind::Virtual:
        return QStringLiteral("virtual ") + stick.path.section(u'/', -1);
    }
    return {};
}

} // namespace

// The order of the stick list decides which stick ANT_Init(N) opens, so it is
// checked apart from any machine.
class TestStickList : public QObject
{
    Q_OBJECT
private slots:
    void order_data();
    void order();
    void serialDescriptionNamesTheNode();
    void listedOnceThroughLibusb0_data();
    void listedOnceThroughLibusb0();
    void namedSticks_data();
    void namedSticks();
    void namedAfterEverythingElse_data();
    void namedAfterEverythingElse();
    void permissionHintFitsTheInstallation_data();
    void permissionHintFitsTheInstallation();
};

void TestStickList::order_data()
{
    QTest::addColumn<QList<BulkStickFound>>("bulk");
    QTest::addColumn<QList<SerialStickFound>>("serial");
    QTest::addColumn<QList<VirtualStickFound>>("virtuals");
    QTest::addColumn<QStringList>("expected");

    const QString usb0 = QStringLiteral("/dev/ttyUSB0");
    const QString usb1 = QStringLiteral("/dev/ttyUSB1");

    QTest::newRow("nothing plugged in") << QList<BulkStickFound>{} << QList<SerialStickFound>{}
                                        << QList<VirtualStickFound>{} << QStringList{};
    QTest::newRow("bulk sticks by bus, then port path")
        << QList<BulkStickFound>{bulk(2, {1}, 4, true), bulk(1, {3}, 3, true),
                                 bulk(1, {2, 1}, 2, true), bulk(1, {2}, 5, true)}
        << QList<SerialStickFound>{} << QList<VirtualStickFound>{}
        << QStringList{"usb 1-2", "usb 1-2.1", "usb 1-3", "usb 2-1"};
    QTest::newRow("maker's driver first, by its device names, then libusb by bus and port")
        << QList<BulkStickFound>{bulk(1, {2}, 5, true), libusb0Stick("libusb0-0002"),
                                 bulk(1, {1}, 4, true), libusb0Stick("libusb0-0001")}
        << QList<SerialStickFound>{node(usb0, 1, {3}, 6)} << QList<VirtualStickFound>{}
        << QStringList{"libusb0 libusb0-0001", "libusb0 libusb0-0002", "usb 1-1", "usb 1-2",
                       "serial /dev/ttyUSB0"};
    QTest::newRow("maker's driver and a bridge stick's COM port are two sticks")
        << QList<BulkStickFound>{libusb0Stick("libusb0-0001")}
        << QList<SerialStickFound>{comPortStickFound("COM4", kBridgeStickProductId, {3})}
        << QList<VirtualStickFound>{} << QStringList{"libusb0 libusb0-0001", "serial COM4"};
    QTest::newRow("serial sticks by bus and port, after every bulk stick")
        << QList<BulkStickFound>{bulk(3, {1}, 2, true)}
        << QList<SerialStickFound>{node(usb0, 2, {1}, 7), node(usb1, 1, {4}, 9)}
        << QList<VirtualStickFound>{}
        << QStringList{"usb 3-1", "serial /dev/ttyUSB1", "serial /dev/ttyUSB0"};
    QTest::newRow("bulk stick refused to libusb is used through its node")
        << QList<BulkStickFound>{bulk(1, {2}, 5, false), bulk(1, {1}, 4, true)}
        << QList<SerialStickFound>{node(usb0, 1, {2}, 5)} << QList<VirtualStickFound>{}
        << QStringList{"usb 1-1", "serial /dev/ttyUSB0"};
    QTest::newRow("refused bulk stick whose node is refused too stays bulk")
        << QList<BulkStickFound>{bulk(1, {2}, 5, false)}
        << QList<SerialStickFound>{node(usb0, 1, {2}, 5, false)} << QList<VirtualStickFound>{}
        << QStringList{"usb 1-2"};
    QTest::newRow("reachable bulk stick is not listed again through its node")
        << QList<BulkStickFound>{bulk(1, {2}, 5, true)}
        << QList<SerialStickFound>{node(usb0, 1, {2}, 5)} << QList<VirtualStickFound>{}
        << QStringList{"usb 1-2"};
    QTest::newRow("node at another address of the same bus is a stick of its own")
        << QList<BulkStickFound>{bulk(1, {2}, 5, true)}
        << QList<SerialStickFound>{node(usb0, 1, {3}, 6)} << QList<VirtualStickFound>{}
        << QStringList{"usb 1-2", "serial /dev/ttyUSB0"};
    QTest::newRow("virtual entries last, in the order given")
        << QList<BulkStickFound>{bulk(1, {2}, 5, true)}
        << QList<SerialStickFound>{node(usb0, 2, {1}, 3)}
        << QList<VirtualStickFound>{entry("a-sim", "/dev/pts/4"), entry("b-uart", "/dev/ttyS1")}
        << QStringList{"usb 1-2", "serial /dev/ttyUSB0", "virtual a-sim", "virtual b-uart"};
    QTest::newRow("virtual entry leading to a listed serial stick is dropped")
        << QList<BulkStickFound>{}
        << QList<SerialStickFound>{node(usb0, 2, {1}, 3), node(usb1, 2, {2}, 4)}
        << QList<VirtualStickFound>{entry("a-link", usb1), entry("b-sim", "/dev/pts/4")}
        << QStringList{"serial /dev/ttyUSB0", "serial /dev/ttyUSB1", "virtual b-sim"};
    QTest::newRow("virtual entry leading to a refused bulk stick's node is dropped")
        << QList<BulkStickFound>{bulk(1, {2}, 5, false)}
        << QList<SerialStickFound>{node(usb0, 1, {2}, 5)}
        << QList<VirtualStickFound>{entry("a-link", usb0)} << QStringList{"serial /dev/ttyUSB0"};
    QTest::newRow("virtual entry leading to a bulk stick libusb reaches is kept")
        << QList<BulkStickFound>{bulk(1, {2}, 5, true)}
        << QList<SerialStickFound>{node(usb0, 1, {2}, 5)}
        << QList<VirtualStickFound>{entry("a-link", usb0)}
        << QStringList{"usb 1-2", "virtual a-link"};
}

void TestStickList::order()
{
    QFETCH(QList<BulkStickFound>, bulk);
    QFETCH(QList<SerialStickFound>, serial);
    QFETCH(QList<VirtualStickFound>, virtuals);
    QFETCH(QStringList, expected);

    QStringList listed;
    for (const StickLocation &stick : orderSticks(bulk, serial, virtuals))
        listed << brief(stick);
    QCOMPARE(listed, expected);
}

void TestStickList::serialDescriptionNamesTheNode()
{
    BulkStickFound refused = bulk(1, {2}, 5, false);
    refused.location.productId = kUsbMStickProductId;
    SerialStickFound ttyOfRefused = node(QStringLiteral("/dev/ttyUSB0"), 1, {2}, 5);
    ttyOfRefused.productId = kUsbMStickProductId;
    const QList<StickLocation> sticks =
        orderSticks({refused}, {ttyOfRefused, node(QStringLiteral("/dev/ttyACM0"), 2, {1}, 3)}, {});
    QCOMPARE(sticks.size(), 2);
    QCOMPARE(sticks.at(0).description, QStringLiteral("ANT stick /dev/ttyUSB0 (0fcf:1009)"));
    QCOMPARE(sticks.at(0).productId, kUsbMStickProductId);
    QCOMPARE(sticks.at(1).description, QStringLiteral("ANT stick /dev/ttyACM0 (0fcf:1004)"));
    QCOMPARE(sticks.at(1).portNumbers, QList<int>{1});
}

void TestStickList::listedOnceThroughLibusb0_data()
{
    QTest::addColumn<QList<BulkStickFound>>("libusb");
    QTest::addColumn<QList<StickDriverFound>>("drivers");
    QTest::addColumn<QStringList>("expected");
    const auto driver = [](const char *service, const QList<int> &ports) {
        return StickDriverFound{kUsb2StickProductId, service, QString(), ports};
    };
    QTest::newRow("one stick through both libraries")
        << QList<BulkStickFound>{bulk(1, {2}, 5, true)}
        << QList<StickDriverFound>{driver("libusb0", {2})} << QStringList{"libusb0 M"};
    QTest::newRow("a WinUSB stick beside it stays")
        << QList<BulkStickFound>{bulk(1, {2}, 5, true), bulk(1, {3}, 6, true)}
        << QList<StickDriverFound>{driver("libusb0", {2}), driver("WinUSB", {3})}
        << QStringList{"libusb0 M", "usb 1-3"};
}

void TestStickList::listedOnceThroughLibusb0()
{
    QFETCH(QList<BulkStickFound>, libusb);
    QFETCH(QList<StickDriverFound>, drivers);
    QFETCH(QStringList, expected);
    const QList<BulkStickFound> maker{libusb0StickFound("M", kUsb2StickProductId)};
    QStringList listed;
    for (const StickLocation &stick :
         orderSticks(maker + withoutLibusb0Sticks(libusb, maker, drivers), {}, {}))
        listed << brief(stick);
    QCOMPARE(listed, expected);
}

void TestStickList::namedSticks_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QStringList>("ports");
    QTest::newRow("unset") << QString() << QChar(u';') << QStringList{};
    QTest::newRow("one COM port") << "COM5" << QChar(u';') << QStringList{"COM5"};
    QTest::newRow("Windows list, blanks and empty parts")
        << " COM5 ;;COM12;" << QChar(u';') << QStringList{"COM5", "COM12"};
    QTest::newRow("Linux list") << "/dev/ttyS1:/dev/ttyUSB3" << QChar(u':')
                                << QStringList{"/dev/ttyS1", "/dev/ttyUSB3"};
    // A Windows device path holds no list separator of its own.
    QTest::newRow("device path") << "\\\\.\\COM14" << QChar(u';') << QStringList{"\\\\.\\COM14"};
}

void TestStickList::namedSticks()
{
    QFETCH(QString, value);
    QFETCH(QChar, separator);
    QFETCH(QStringList, ports);
    QStringList found;
    for (const VirtualStickFound &stick : pulvane::stick::namedSticks(value, separator)) {
        QCOMPARE(stick.location.kind, StickLocation::Kind::Virtual);
        QCOMPARE(stick.target, stick.location.path);
        QCOMPARE(stick.location.description,
                 QStringLiteral("%1 (named in PULVANE_STICKS)").arg(stick.location.path));
        found << stick.location.path;
    }
    QCOMPARE(found, ports);
}

void TestStickList::namedAfterEverythingElse_data()
{
    QTest::addColumn<QList<SerialStickFound>>("serial");
    QTest::addColumn<QList<VirtualStickFound>>("virtuals");
    QTest::addColumn<QString>("named");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("after the COM port of a bridge stick")
        << QList<SerialStickFound>{node("COM3", 0, {2}, -1)} << QList<VirtualStickFound>{}
        << "COM5;COM6" << QStringList{"serial COM3", "virtual COM5", "virtual COM6"};
    QTest::newRow("the bridge stick's own port is not listed twice")
        << QList<SerialStickFound>{node("COM3", 0, {2}, -1)} << QList<VirtualStickFound>{}
        << "COM3;COM5" << QStringList{"serial COM3", "virtual COM5"};
    QTest::newRow("named twice, listed once")
        << QList<SerialStickFound>{} << QList<VirtualStickFound>{} << "COM5;COM5"
        << QStringList{"virtual COM5"};
    QTest::newRow("after the virtual entries, less their targets")
        << QList<SerialStickFound>{} << QList<VirtualStickFound>{entry("a-sim", "/dev/pts/4")}
        << "/dev/pts/4;/dev/ttyS1" << QStringList{"virtual a-sim", "virtual ttyS1"};
}

void TestStickList::namedAfterEverythingElse()
{
    QFETCH(QList<SerialStickFound>, serial);
    QFETCH(QList<VirtualStickFound>, virtuals);
    QFETCH(QString, named);
    QFETCH(QStringList, expected);
    QStringList listed;
    for (const StickLocation &stick :
         orderSticks({}, serial, virtuals, pulvane::stick::namedSticks(named, u';')))
        listed << brief(stick);
    QCOMPARE(listed, expected);
}

void TestStickList::permissionHintFitsTheInstallation_data()
{
    QTest::addColumn<UdevRule>("rule");
    QTest::addColumn<QString>("hint");
    QTest::newRow("built from source")
        << UdevRule{}
        << "install packaging/60-pulvane-ant.rules into /etc/udev/rules.d and plug the stick in "
           "again, or join the dialout group";
    QTest::newRow("package") << UdevRule{UdevRule::Where::Read,
                                         "/usr/lib/udev/rules.d/60-pulvane-ant.rules"}
                             << "the udev rule /usr/lib/udev/rules.d/60-pulvane-ant.rules gives "
                                "the stick to the user logged in at the seat: plug the stick in "
                                "again while logged in there, or join the dialout group";
    QTest::newRow("installed where udev does not look")
        << UdevRule{UdevRule::Where::Unread, "/usr/local/lib/udev/rules.d/60-pulvane-ant.rules"}
        << "copy /usr/local/lib/udev/rules.d/60-pulvane-ant.rules into /etc/udev/rules.d and "
           "plug the stick in again, or join the dialout group";
}

void TestStickList::permissionHintFitsTheInstallation()
{
    QFETCH(UdevRule, rule);
    QFETCH(QString, hint);
    QCOMPARE(permissionReason("/dev/ttyUSB0", PermissionHint::UdevRuleOrDialout, rule),
             "permission denied on /dev/ttyUSB0; " + hint);
}

QTEST_GUILESS_MAIN(TestStickList)
#include "tst_sticklist.moc"
