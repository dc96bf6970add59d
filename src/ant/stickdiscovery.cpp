#include "stickdiscovery.h"

#include "serialtransport.h"
#include "usbtransport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <libusb.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace pulvane::ant {

namespace {

bool isAntStick(uint16_t vendor, uint16_t product)
{
    return vendor == kAntVendorId &&
           (product == kBridgeStickProductId || product == kUsb2StickProductId ||
            product == kUsbMStickProductId);
}

QString portText(const QList<int> &ports)
{
    QStringList parts;
    for (int p : ports)
        parts << QString::number(p);
    return parts.join(QLatin1Char('.'));
}

bool locationLess(const StickLocation &a, const StickLocation &b)
{
    if (a.busNumber != b.busNumber)
        return a.busNumber < b.busNumber;
    if (a.portNumbers != b.portNumbers)
        return std::lexicographical_compare(a.portNumbers.begin(), a.portNumbers.end(),
                                            b.portNumbers.begin(), b.portNumbers.end());
    return a.path < b.path;
}

QString readSysfs(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).trimmed();
}

bool canReadWrite(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

// A tty whose USB parent is an ANT stick.
struct TtyStick
{
    QString node;
    uint16_t productId = 0;
    int busNumber = 0;
    int deviceAddress = 0;
    QList<int> portNumbers;
};

QList<TtyStick> ttySticks()
{
    QList<TtyStick> found;
    const QDir ttys(QStringLiteral("/sys/class/tty"));
    for (const QString &name : ttys.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        QString dir =
            QFileInfo(ttys.filePath(name) + QStringLiteral("/device")).canonicalFilePath();
        // Up from the serial interface to the USB device that holds it.
        for (int depth = 0; depth < 4 && !dir.isEmpty(); ++depth) {
            if (QFileInfo::exists(dir + QStringLiteral("/idVendor")))
                break;
            dir = QFileInfo(dir).path();
        }
        if (dir.isEmpty() || !QFileInfo::exists(dir + QStringLiteral("/idVendor")))
            continue;
        bool ok1 = false, ok2 = false;
        const uint16_t vendor = readSysfs(dir + QStringLiteral("/idVendor")).toUShort(&ok1, 16);
        const uint16_t product = readSysfs(dir + QStringLiteral("/idProduct")).toUShort(&ok2, 16);
        if (!ok1 || !ok2 || !isAntStick(vendor, product))
            continue;
        TtyStick tty;
        tty.node = QStringLiteral("/dev/") + name;
        tty.productId = product;
        tty.busNumber = readSysfs(dir + QStringLiteral("/busnum")).toInt();
        tty.deviceAddress = readSysfs(dir + QStringLiteral("/devnum")).toInt();
        // The device's directory is named bus-port.port...
        const QString place = QFileInfo(dir).fileName().section(QLatin1Char('-'), 1);
        for (const QString &p : place.split(QLatin1Char('.'), Qt::SkipEmptyParts))
            tty.portNumbers << p.toInt();
        found << tty;
    }
    return found;
}

struct BulkStick
{
    StickLocation location;
    int deviceAddress = 0;
    bool reachable = false;
};

QList<BulkStick> bulkSticks()
{
    QList<BulkStick> found;
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0)
        return found;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0)
            continue;
        if (!isAntStick(descriptor.idVendor, descriptor.idProduct) ||
            descriptor.idProduct == kBridgeStickProductId)
            continue;
        BulkStick stick;
        stick.location.kind = StickLocation::Kind::Usb;
        stick.location.busNumber = libusb_get_bus_number(list[i]);
        uint8_t ports[8];
        const int depth = libusb_get_port_numbers(list[i], ports, int(sizeof ports));
        for (int p = 0; p < depth; ++p)
            stick.location.portNumbers << ports[p];
        stick.location.productId = descriptor.idProduct;
        stick.location.description = QStringLiteral("ANT USB stick 0fcf:%1 on bus %2 port %3")
                                         .arg(descriptor.idProduct, 4, 16, QLatin1Char('0'))
                                         .arg(stick.location.busNumber)
                                         .arg(portText(stick.location.portNumbers));
        stick.deviceAddress = libusb_get_device_address(list[i]);
        libusb_device_handle *handle = nullptr;
        const int rc = libusb_open(list[i], &handle);
        if (rc == 0)
            libusb_close(handle);
        stick.reachable = rc != LIBUSB_ERROR_ACCESS;
        found << stick;
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(context);
    return found;
}

} // namespace

QString virtualStickDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/pulvane/sticks");
    return QStringLiteral("/tmp/pulvane-%1/sticks").arg(::getuid());
}

QList<StickLocation> virtualSticks(const QString &directory)
{
    QList<StickLocation> found;
    const QDir dir(directory);
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString entry = dir.filePath(name);
        struct stat target
        {
        };
        // stat() follows the link: a dangling one fails here.
        if (::stat(QFile::encodeName(entry).constData(), &target) != 0 || !S_ISCHR(target.st_mode))
            continue;
        StickLocation stick;
        stick.kind = StickLocation::Kind::Virtual;
        stick.path = entry;
        stick.description =
            QStringLiteral("virtual stick %1 (%2)").arg(name, QFileInfo(entry).canonicalFilePath());
        found << stick;
    }
    return found;
}

QList<StickLocation> findSticks()
{
    const QList<BulkStick> bulk = bulkSticks();
    const QList<TtyStick> ttys = ttySticks();

    const auto ttyOf = [&ttys](int bus, int address) -> const TtyStick * {
        for (const TtyStick &tty : ttys)
            if (tty.busNumber == bus && tty.deviceAddress == address)
                return &tty;
        return nullptr;
    };

    QList<StickLocation> usb;
    QList<StickLocation> serial;
    // A bulk stick libusb may not open, but whose tty we may, is used as a
    // serial stick; otherwise it stays a bulk stick so that opening it says
    // why it failed.
    QList<QString> ttysTaken;
    for (const BulkStick &stick : bulk) {
        const TtyStick *tty = ttyOf(stick.location.busNumber, stick.deviceAddress);
        if (tty)
            ttysTaken << tty->node;
        if (!stick.reachable && tty && canReadWrite(tty->node)) {
            StickLocation location = stick.location;
            location.kind = StickLocation::Kind::Serial;
            location.path = tty->node;
            location.description = QStringLiteral("ANT stick %1 (0fcf:%2)")
                                       .arg(tty->node)
                                       .arg(tty->productId, 4, 16, QLatin1Char('0'));
            serial << location;
        } else {
            usb << stick.location;
        }
    }
    for (const TtyStick &tty : ttys) {
        if (ttysTaken.contains(tty.node))
            continue;
        StickLocation location;
        location.kind = StickLocation::Kind::Serial;
        location.path = tty.node;
        location.busNumber = tty.busNumber;
        location.portNumbers = tty.portNumbers;
        location.productId = tty.productId;
        location.description = QStringLiteral("ANT stick %1 (0fcf:%2)")
                                   .arg(tty.node)
                                   .arg(tty.productId, 4, 16, QLatin1Char('0'));
        serial << location;
    }
    std::sort(usb.begin(), usb.end(), locationLess);
    std::sort(serial.begin(), serial.end(), locationLess);

    QList<StickLocation> all = usb + serial;
    // A virtual entry may link to a tty already listed (a UART module is
    // fine, but a link to /dev/ttyUSB0 would list that stick twice).
    for (const StickLocation &v : virtualSticks(virtualStickDirectory())) {
        const QString target = QFileInfo(v.path).canonicalFilePath();
        const bool listed = std::any_of(serial.begin(), serial.end(), [&](const StickLocation &s) {
            return QFileInfo(s.path).canonicalFilePath() == target;
        });
        if (!listed)
            all << v;
    }
    return all;
}

std::unique_ptr<Transport> openStickAt(const StickLocation &stick, int baudrate, QString *why)
{
    QString reason;
    std::unique_ptr<Transport> transport;
    switch (stick.kind) {
    case StickLocation::Kind::Usb: {
        auto usb =
            std::make_unique<UsbTransport>(stick.busNumber, stick.portNumbers, stick.description);
        if (usb->open(&reason))
            transport = std::move(usb);
        break;
    }
    case StickLocation::Kind::Serial:
    case StickLocation::Kind::Virtual: {
        const int rate = stick.kind == StickLocation::Kind::Serial || baudrate <= 0
                             ? kBridgeStickBaudrate
                             : baudrate;
        auto serial = std::make_unique<SerialTransport>(stick.path, rate, stick.description);
        if (serial->open(&reason))
            transport = std::move(serial);
        break;
    }
    }
    if (!transport && why)
        *why = reason;
    return transport;
}

QString programsHolding(const QString &devicePath)
{
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    if (target.isEmpty())
        return {};
    QStringList holders;
    const QDir proc(QStringLiteral("/proc"));
    const QString self = QString::number(::getpid());
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric || pid == self)
            continue;
        const QDir fds(proc.filePath(pid) + QStringLiteral("/fd"));
        const QStringList entries =
            fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        const bool holds = std::any_of(entries.begin(), entries.end(), [&](const QString &fd) {
            return QFileInfo(fds.filePath(fd)).symLinkTarget() == target;
        });
        if (holds)
            holders << QStringLiteral("%1 (%2)").arg(
                readSysfs(proc.filePath(pid) + QStringLiteral("/comm")), pid);
    }
    return holders.join(QStringLiteral(", "));
}

std::unique_ptr<Transport> SystemStickProvider::openStick(int index, int baudrate, QString *why)
{
    const QList<StickLocation> sticks = findSticks();
    if (index < 0 || index >= sticks.size()) {
        if (why)
            *why = sticks.isEmpty()
                       ? QStringLiteral("no ANT stick found (USB, serial, or in %1)")
                             .arg(virtualStickDirectory())
                       : QStringLiteral("only %1 ANT stick(s) found").arg(sticks.size());
        return nullptr;
    }
    return openStickAt(sticks.at(index), baudrate, why);
}

} // namespace pulvane::ant
