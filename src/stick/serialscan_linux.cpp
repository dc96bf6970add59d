// Serial sticks on Linux: the tty nodes in sysfs whose USB parent is an ANT
// stick.
#include "stickscan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace pulvane::stick {

namespace {

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

} // namespace

QList<SerialStickFound> scanSerialSticks()
{
    QList<SerialStickFound> found;
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
        SerialStickFound tty;
        tty.node = QStringLiteral("/dev/") + name;
        tty.productId = product;
        tty.busNumber = readSysfs(dir + QStringLiteral("/busnum")).toInt();
        tty.deviceAddress = readSysfs(dir + QStringLiteral("/devnum")).toInt();
        tty.readWrite = canReadWrite(tty.node);
        // The device's directory is named bus-port.port...
        const QString place = QFileInfo(dir).fileName().section(QLatin1Char('-'), 1);
        for (const QString &p : place.split(QLatin1Char('.'), Qt::SkipEmptyParts))
            tty.portNumbers << p.toInt();
        found << tty;
    }
    return found;
}

} // namespace pulvane::stick
