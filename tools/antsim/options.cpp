#include "options.h"

#include <QCommandLineParser>
#include <algorithm>
#include <cmath>

namespace pulvane::antsim {

namespace {

const char kDescription[] = R"(Simulated ANT USB stick with virtual heart-rate belts.

Makes a pseudo-terminal, links it into the virtual-stick directory
($XDG_RUNTIME_DIR/pulvane/sticks/, or /tmp/pulvane-<uid>/sticks/ when
XDG_RUNTIME_DIR is unset) under --name, and answers the ANT serial protocol
there until interrupted (Ctrl-C, SIGTERM) or --vanish-at. The link is removed
when it ends.

Belts (--belt, repeatable; without any, three default belts):
  dev=N       device number 1..65535 (required)
  trans=N     transmission type 1..255 (default 1)
  dist=M      distance in metres (default 1)
  walk=M@S/M@S/...  distance M metres at simulated second S, in a straight
              line between points, staying at the last; before the first
              point the belt moves from dist at second 0
  hr=N        heart rate in beats per minute 30..240 (default 72)
  swing=N     the heart rate swings N bpm either way over 30 s (default 6)
  legacy      page 0 only, toggle bit never flipped
  Defaults: dev=23456,dist=0.8,hr=72  dev=4321,dist=2.5,hr=88
            dev=51010,dist=7,hr=64  (bin 4 and bin 0 both find 23456)

Proximity bins (metres a belt may be from the stick to be found):
  0: up to --range   1: 0.3   2: 0.6   3: 1.0   4: 1.5   5: 2.0
  6: 3.0   7: 4.5   8: 6.0   9: 8.0   10: 10.0  (never beyond --range)
A search picks the nearest belt within the bin that fits the channel ID on
RF 57. A tracked belt beyond --range, or a message lost by --lossy, is a
receive failure (event 2); the failure after --drop-after of them in a row
drops to search (event 8). A search that finds nothing for n x 2.5 s
(n from the search timeout command, 255 never) gives event 1, then event 7.

Output: standard output, one line per event, flushed at once. The first line
is "ready <link path>". Every other line is a word and key=value fields,
t= being simulated seconds:
  reset t=            startup t= reason=0x20      netkey t= net=N
  response t= ch=N id=0xNN code=0xNN     (every answer to a command)
  refused t= ch=N id=0xNN code=0xNN      ignored t= id=0xNN
  data-ignored t= id=0xNN
  open t= ch=N bin=B rf=F period=P timeout=T
  found t= ch=N dev=D trans=T bin=B dist=M.MM
  rx-fail t= ch=N dev=D cause=range|lost     drop t= ch=N dev=D
  search-timeout t= ch=N     closed t= ch=N
  request t= ch=N id=0x51 dev=D type=Y trans=T   (channel ID answered)
  request t= ch=N id=0x52 status=0xNN     request t= ch=N id=0xNN
  vanished t=
At the end: "summary t= frames-in= frames-out= junk-in= broadcasts=
rx-failures= drops= search-timeouts=", one "belt dev= trans= found=
broadcasts= failures=" line per belt, "link dropped-out=N" (bytes no host
read in time) and "end". junk-in counts bytes skipped between the host's
frames, padding zeros included. The network key is never shown. Errors go to standard error; the exit code is 0 after a clean end.)";

bool parseByte(const QString &text, uint8_t *value)
{
    bool ok = false;
    const uint v = text.toUInt(&ok, 0);
    if (!ok || v > 255)
        return false;
    *value = uint8_t(v);
    return true;
}

bool parseProbability(const QString &text, double *value)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !(v >= 0 && v <= 1))
        return false;
    *value = v;
    return true;
}

bool parseSeconds(const QString &text, SimTime *value)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < 0 || v > 1e9)
        return false;
    *value = SimTime(std::llround(v * kUsPerSecond));
    return true;
}

} // namespace

int realDelayMs(SimTime due, SimTime now, double timeScale)
{
    constexpr double kLongestMs = 3600.0 * 1000;
    const double ms = std::ceil(double(due - now) / timeScale / 1000.0);
    return int(std::clamp(ms, 0.0, kLongestMs));
}

namespace {

// Every option antsim takes, as the parser knows them.
struct Declared
{
    QCommandLineOption help{QStringLiteral("help")}; // the parser's own, set below
    QCommandLineOption name{
        {"n", "name"}, "Name of the link in the virtual-stick directory (default antsim).", "name"};
    QCommandLineOption belt{{"b", "belt"}, "A virtual belt (see above); repeatable.", "setup"};
    QCommandLineOption range{"range", "Radio range in metres (default 20).", "metres"};
    QCommandLineOption dropAfter{
        "drop-after", "Receive failures in a row before a drop to search (default 8).", "n"};
    QCommandLineOption startupDelay{
        "startup-delay", "Milliseconds from a reset to the startup message (default 350).", "ms"};
    QCommandLineOption noStartup{"no-startup", "Send no startup message after a reset."};
    QCommandLineOption proximityCode{
        "proximity-code", "Response code for a proximity bin above 10 (default 0x28).", "code"};
    QCommandLineOption unassignedCode{
        "unassigned-code", "Response code for a command on an unassigned channel (default 0x15).",
        "code"};
    QCommandLineOption refuse{
        "refuse", "Answer command ID with this code and ignore it, e.g. 0x42=0x15; repeatable.",
        "id=code"};
    QCommandLineOption ignore{"ignore", "Never answer command ID; repeatable.", "id"};
    QCommandLineOption garbage{"garbage", "Chance (0..1) of 1-8 junk bytes before each frame sent.",
                               "p"};
    QCommandLineOption garbageSync{"garbage-sync", "Junk bytes may include the sync byte 0xA4."};
    QCommandLineOption lossy{"lossy", "Chance (0..1) that a belt's message is lost.", "p"};
    QCommandLineOption vanishAt{
        "vanish-at", "Vanish at this simulated second: hang up, remove the link, exit.", "seconds"};
    QCommandLineOption timeScale{"time-scale", "Simulated seconds per real second (default 1).",
                                 "factor"};
    QCommandLineOption seed{"seed", "Seed of the fault and loss dice (default 1).", "n"};
    QCommandLineOption listSticks{
        "list-sticks", "Print the ANT sticks this machine has, one a line, in the order Pulvane's "
                       "START counts them, and exit."};

    Declared(QCommandLineParser &parser, const QString &defaultName)
    {
        name.setDefaultValue(defaultName);
        parser.setApplicationDescription(QString::fromLatin1(kDescription));
        help = parser.addHelpOption();
        parser.addOptions({name, belt, range, dropAfter, startupDelay, noStartup, proximityCode,
                           unassignedCode, refuse, ignore, garbage, garbageSync, lossy, vanishAt,
                           timeScale, seed, listSticks});
    }
};

// Each reader fills its part of the options and returns what was wrong, or
// nothing.
QString readBelts(const QCommandLineParser &parser, const Declared &o, SimConfig &config)
{
    config.belts.clear();
    for (const QString &setup : parser.values(o.belt)) {
        QString why;
        const std::optional<BeltSetup> parsed = parseBeltSetup(setup, &why);
        if (!parsed)
            return QStringLiteral("--belt %1: %2").arg(setup, why);
        for (const BeltSetup &other : std::as_const(config.belts)) {
            if (other.deviceNumber == parsed->deviceNumber &&
                other.transmissionType == parsed->transmissionType)
                return QStringLiteral("--belt %1: two belts with the same ID").arg(setup);
        }
        config.belts.append(*parsed);
    }
    if (config.belts.isEmpty())
        config.belts = defaultBelts();
    return {};
}

QString readRadio(const QCommandLineParser &parser, const Declared &o, SimConfig &config)
{
    bool ok = true;
    if (parser.isSet(o.range)) {
        config.radioRange = parser.value(o.range).toDouble(&ok);
        if (!ok || !(config.radioRange > 0 && config.radioRange < 1e6))
            return QStringLiteral("--range needs a positive number of metres");
    }
    if (parser.isSet(o.dropAfter)) {
        config.dropAfter = parser.value(o.dropAfter).toInt(&ok);
        if (!ok || config.dropAfter < 0 || config.dropAfter > 10000)
            return QStringLiteral("--drop-after needs a count from 0 to 10000");
    }
    if (parser.isSet(o.noStartup)) {
        config.startupDelay.reset();
    } else if (parser.isSet(o.startupDelay)) {
        const double ms = parser.value(o.startupDelay).toDouble(&ok);
        if (!ok || !(ms >= 0 && ms <= 1e9))
            return QStringLiteral("--startup-delay needs milliseconds");
        config.startupDelay = SimTime(std::llround(ms * 1000));
    }
    if (parser.isSet(o.proximityCode) &&
        !parseByte(parser.value(o.proximityCode), &config.proximityRangeCode))
        return QStringLiteral("--proximity-code needs a byte");
    if (parser.isSet(o.unassignedCode) &&
        !parseByte(parser.value(o.unassignedCode), &config.unassignedChannelCode))
        return QStringLiteral("--unassigned-code needs a byte");
    return {};
}

QString readFaults(const QCommandLineParser &parser, const Declared &o, SimConfig &config)
{
    for (const QString &item : parser.values(o.refuse)) {
        const QStringList parts = item.split(u'=');
        uint8_t id = 0;
        uint8_t code = 0;
        if (parts.size() != 2 || !parseByte(parts[0], &id) || !parseByte(parts[1], &code))
            return QStringLiteral("--refuse needs id=code, e.g. 0x42=0x15");
        config.refuse.insert(id, code);
    }
    for (const QString &item : parser.values(o.ignore)) {
        uint8_t id = 0;
        if (!parseByte(item, &id))
            return QStringLiteral("--ignore needs a message ID, e.g. 0x4B");
        config.ignore.insert(id);
    }
    if (parser.isSet(o.garbage) && !parseProbability(parser.value(o.garbage), &config.garbage))
        return QStringLiteral("--garbage needs a chance from 0 to 1");
    config.garbageWithSync = parser.isSet(o.garbageSync);
    if (parser.isSet(o.lossy) && !parseProbability(parser.value(o.lossy), &config.lossy))
        return QStringLiteral("--lossy needs a chance from 0 to 1");
    if (parser.isSet(o.vanishAt)) {
        SimTime at = 0;
        if (!parseSeconds(parser.value(o.vanishAt), &at))
            return QStringLiteral("--vanish-at needs seconds");
        config.vanishAt = at;
    }
    return {};
}

QString readClock(const QCommandLineParser &parser, const Declared &o, SimOptions &options)
{
    bool ok = true;
    if (parser.isSet(o.timeScale)) {
        options.timeScale = parser.value(o.timeScale).toDouble(&ok);
        if (!ok || !(options.timeScale >= 0.01 && options.timeScale <= 10000))
            return QStringLiteral("--time-scale needs a factor from 0.01 to 10000");
    }
    if (parser.isSet(o.seed)) {
        options.config.seed = parser.value(o.seed).toUInt(&ok, 0);
        if (!ok)
            return QStringLiteral("--seed needs a number");
    }
    return {};
}

} // namespace

ParseResult parseOptions(const QStringList &arguments, SimOptions *options, QString *message)
{
    QCommandLineParser parser;
    const Declared declared(parser, options->name);
    if (!parser.parse(arguments)) {
        *message = parser.errorText();
        return ParseResult::Error;
    }
    if (parser.isSet(declared.help)) {
        *message = parser.helpText();
        return ParseResult::Help;
    }
    if (parser.isSet(declared.listSticks))
        return ParseResult::ListSticks;
    if (!parser.positionalArguments().isEmpty()) {
        *message =
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return ParseResult::Error;
    }
    message->clear();
    options->name = parser.value(declared.name);
    if (options->name.isEmpty() || options->name.contains(u'/') || options->name.startsWith(u'.'))
        *message = QStringLiteral("--name must be a plain file name");
    for (const auto &read : {readBelts, readRadio, readFaults}) {
        if (message->isEmpty())
            *message = read(parser, declared, options->config);
    }
    if (message->isEmpty())
        *message = readClock(parser, declared, *options);
    return message->isEmpty() ? ParseResult::Run : ParseResult::Error;
}

} // namespace pulvane::antsim
