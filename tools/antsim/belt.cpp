#include "belt.h"

#include "simconfig.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace pulvane::antsim {

namespace {

constexpr SimTime kHeartRateSwingPeriod = 30 * kUsPerSecond;
// A belt sends its main page 64 times, then one background page 4 times.
constexpr int kMainRun = 64;
constexpr int kBackgroundRun = 4;
constexpr int kBackgroundPages[] = {1, 2, 3, 6, 7};

bool parseNumber(const QString &text, double min, double max, double *value)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool parseInteger(const QString &text, int min, int max, int *value)
{
    bool ok = false;
    const int v = text.toInt(&ok, 0);
    if (!ok || v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool parseWalk(const QString &text, QList<WalkPoint> *walk)
{
    for (const QString &point : text.split(u'/')) {
        const QStringList parts = point.split(u'@');
        WalkPoint p;
        if (parts.size() != 2 || !parseNumber(parts[0], 0, 1e6, &p.metres) ||
            !parseNumber(parts[1], 0, 1e9, &p.atSeconds))
            return false;
        if (!walk->isEmpty() && p.atSeconds <= walk->last().atSeconds)
            return false;
        walk->append(p);
    }
    return true;
}

void putLe16(QByteArray &page, int at, unsigned value)
{
    page[at] = char(value & 0xFF);
    page[at + 1] = char((value >> 8) & 0xFF);
}

} // namespace

std::optional<BeltSetup> parseBeltSetup(const QString &text, QString *why)
{
    BeltSetup setup;
    bool haveDevice = false;
    for (const QString &item : text.split(u',', Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf(u'=');
        const QString key = item.left(eq).trimmed();
        const QString value = eq < 0 ? QString() : item.mid(eq + 1).trimmed();
        int integer = 0;
        bool ok = true;
        if (key == u"dev") {
            ok = parseInteger(value, 1, 65535, &integer);
            setup.deviceNumber = uint16_t(integer);
            haveDevice = ok;
        } else if (key == u"trans") {
            ok = parseInteger(value, 1, 255, &integer);
            setup.transmissionType = uint8_t(integer);
        } else if (key == u"dist") {
            ok = parseNumber(value, 0, 1e6, &setup.distance);
        } else if (key == u"hr") {
            ok = parseInteger(value, 30, 240, &setup.heartRate);
        } else if (key == u"swing") {
            ok = parseInteger(value, 0, 60, &setup.heartRateSwing);
        } else if (key == u"walk") {
            ok = parseWalk(value, &setup.walk);
        } else if (key == u"legacy" && eq < 0) {
            setup.legacy = true;
        } else {
            *why = QStringLiteral("unknown belt setting \"%1\"").arg(item);
            return std::nullopt;
        }
        if (!ok) {
            *why = QStringLiteral("bad value in belt setting \"%1\"").arg(item);
            return std::nullopt;
        }
    }
    if (!haveDevice) {
        *why = QStringLiteral("a belt needs dev=<1..65535>");
        return std::nullopt;
    }
    return setup;
}

double proximityBinMetres(int bin, double radioRange)
{
    // Chosen so that a belt worn by the user (under a metre) fits bin 3 and
    // up, and the neighbours of a gym sit in the wider bins.
    static constexpr double kBinMetres[kMaxProximityBin + 1] = {0,   0.3, 0.6, 1.0, 1.5, 2.0,
                                                                3.0, 4.5, 6.0, 8.0, 10.0};
    if (bin <= 0 || bin > kMaxProximityBin)
        return radioRange;
    return std::min(kBinMetres[bin], radioRange);
}

Belt::Belt(const BeltSetup &setup) : m_setup(setup)
{
    // Belts start out of step with each other.
    m_nextBeat = SimTime(setup.deviceNumber % 997) * 1000;
}

double Belt::distanceAt(SimTime t) const
{
    const double s = double(t) / kUsPerSecond;
    double fromTime = 0;
    double fromMetres = m_setup.distance;
    for (const WalkPoint &p : m_setup.walk) {
        if (s < p.atSeconds) {
            const double span = p.atSeconds - fromTime;
            return fromMetres + (p.metres - fromMetres) * (s - fromTime) / span;
        }
        fromTime = p.atSeconds;
        fromMetres = p.metres;
    }
    return fromMetres;
}

int Belt::heartRateAt(SimTime t) const
{
    const double phase =
        2 * std::numbers::pi * double(t % kHeartRateSwingPeriod) / double(kHeartRateSwingPeriod);
    const int rate = int(std::lround(m_setup.heartRate + m_setup.heartRateSwing * std::sin(phase)));
    return std::clamp(rate, 30, 240);
}

void Belt::beatUntil(SimTime t)
{
    while (m_nextBeat <= t) {
        m_previousBeat = m_lastBeat;
        m_lastBeat = m_nextBeat;
        ++m_beatCount;
        m_nextBeat += 60 * kUsPerSecond / heartRateAt(m_nextBeat);
    }
}

QByteArray Belt::nextPage(SimTime t)
{
    beatUntil(t);
    const qint64 n = m_messages++;
    QByteArray page(8, char(0xFF));
    const auto beatUnits = [](SimTime at) { return unsigned((at * 1024 / kUsPerSecond) & 0xFFFF); };
    int number = 0;
    if (!m_setup.legacy) {
        const int inCycle = int(n % (kMainRun + kBackgroundRun));
        if (inCycle >= kMainRun) {
            number = kBackgroundPages[m_backgroundIndex];
            if (inCycle == kMainRun + kBackgroundRun - 1)
                m_backgroundIndex = (m_backgroundIndex + 1) % int(std::size(kBackgroundPages));
            page.replace(1, 3, backgroundPage(number, t));
        } else {
            number = 4;
            putLe16(page, 2, beatUnits(m_previousBeat));
        }
    }
    const bool toggle = !m_setup.legacy && (n / 4) % 2 == 1;
    page[0] = char(number | (toggle ? 0x80 : 0));
    putLe16(page, 4, beatUnits(m_lastBeat));
    page[6] = char(m_beatCount);
    page[7] = char(heartRateAt(t));
    return page;
}

// Bytes 1..3 of a background page.
QByteArray Belt::backgroundPage(int page, SimTime t) const
{
    QByteArray bytes(3, char(0xFF));
    switch (page) {
    case 1: { // operating time, 2 s units
        const unsigned units = unsigned((t / (2 * kUsPerSecond) + 3600) & 0xFFFFFF);
        bytes[0] = char(units & 0xFF);
        bytes[1] = char((units >> 8) & 0xFF);
        bytes[2] = char((units >> 16) & 0xFF);
        break;
    }
    case 2: // manufacturer (development ID) and the upper half of the serial number
        bytes[0] = char(0xFF);
        putLe16(bytes, 1, unsigned(m_setup.deviceNumber) ^ 0xA5A5u);
        break;
    case 3: // hardware version, software version, model
        bytes[0] = 1;
        bytes[1] = 2;
        bytes[2] = 3;
        break;
    case 6: // capabilities: no extended features
        bytes[1] = 0;
        bytes[2] = 0;
        break;
    case 7: // battery: 85 %, 3.5 V, status good
        bytes[0] = 85;
        bytes[1] = char(0x80);
        bytes[2] = 0x23;
        break;
    }
    return bytes;
}

QList<BeltSetup> defaultBelts()
{
    BeltSetup nearest;
    nearest.deviceNumber = 23456;
    nearest.distance = 0.8;
    nearest.heartRate = 72;
    BeltSetup middle;
    middle.deviceNumber = 4321;
    middle.distance = 2.5;
    middle.heartRate = 88;
    BeltSetup far;
    far.deviceNumber = 51010;
    far.distance = 7.0;
    far.heartRate = 64;
    return {nearest, middle, far};
}

} // namespace pulvane::antsim
