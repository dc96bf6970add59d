#include "comports.h"

#include <QRegularExpression>

namespace pulvane::stick {

std::optional<UsbIds> usbIdsFromHardwareIds(const QStringList &hardwareIds)
{
    static const QRegularExpression vid(QStringLiteral("(?:^|[\\\\&])VID_([0-9A-Fa-f]{4})(?:&|$)"));
    static const QRegularExpression pid(QStringLiteral("(?:^|[\\\\&])PID_([0-9A-Fa-f]{4})(?:&|$)"));
    for (const QString &id : hardwareIds) {
        const QRegularExpressionMatch v = vid.match(id);
        const QRegularExpressionMatch p = pid.match(id);
        if (v.hasMatch() && p.hasMatch())
            return UsbIds{uint16_t(v.captured(1).toUShort(nullptr, 16)),
                          uint16_t(p.captured(1).toUShort(nullptr, 16))};
    }
    return std::nullopt;
}

QList<int> usbPortsFromLocationPath(const QString &locationPath)
{
    static const QRegularExpression usb(QStringLiteral("^USB\\((\\d+)\\)$"));
    QList<int> ports;
    for (const QString &part : locationPath.split(QLatin1Char('#'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = usb.match(part);
        if (m.hasMatch())
            ports << m.captured(1).toInt();
    }
    return ports;
}

QList<int> usbPortsFromLocationPaths(const QStringList &paths)
{
    for (const QString &path : paths)
        if (path.contains(QLatin1String("USBROOT("), Qt::CaseInsensitive))
            return usbPortsFromLocationPath(path);
    return {};
}

int usbPortFromLocationInformation(const QString &information)
{
    static const QRegularExpression port(QStringLiteral("^Port_#(\\d+)"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = port.match(information);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

QStringList multiStringList(const wchar_t *data, size_t chars)
{
    QStringList strings;
    size_t start = 0;
    for (size_t i = 0; i < chars; ++i) {
        if (data[i] != L'\0')
            continue;
        if (i == start)
            break;
        strings << QString::fromWCharArray(data + start, qsizetype(i - start));
        start = i + 1;
    }
    // A value cut short without its terminating nul still counts.
    if (start < chars && data[chars - 1] != L'\0')
        strings << QString::fromWCharArray(data + start, qsizetype(chars - start));
    return strings;
}

} // namespace pulvane::stick
