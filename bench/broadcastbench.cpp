// The cost of one received broadcast, end to end: bytes on the
// transport, frame decoding, dispatch to FrameChannelEvent, the HR label and
// the two log lines in the real window's log.
//
// The tests' scripted stick stands in for the stick. START runs the real
// finder over it and the stick acknowledges the configuration chain with real
// response frames, so the channel is open as in the running program; from
// then on each broadcast is one bytesArrived carrying one 13-byte broadcast
// frame. Timed once without giving the event loop a turn (the work the frame
// itself causes) and once with the repaint that follows in the running
// program, with a thousand lines in the log and again after it has grown to a
// large size. Times are the window thread's wall-clock time per broadcast
// (median and 99th percentile); the last column is the processor time of the
// whole process, every thread (Qt's raster pool included), per broadcast with
// its repaint (CLOCK_PROCESS_CPUTIME_ID over all of them). Under callgrind
// every thread's instructions are counted too (one total per dump).
// The window's own log runs beside the pane it replaced (one text block per
// line, bench/beforelog.h), each in a process of its own.
//
// With --callgrind N, run under callgrind with --instr-atstart=no, only N
// broadcasts at each size are instrumented (the fill runs uninstrumented) and
// each run of them is dumped as a part of its own, named
// "<pane>-<lines>-alone" or "<pane>-<lines>-painted"; the part's total divided
// by N is the instructions one broadcast costs, which repeat from run to run
// where wall-clock time does not.
//
//   QT_QPA_PLATFORM=offscreen broadcastbench [--pane before|after] [--large-lines N]
//       [--mid-lines N] [--callgrind N]
#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"
#include "beforelog.h"
#include "scriptedstick.h"
#include "tform1.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextStream>
#include <algorithm>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define PULVANE_HAVE_CALLGRIND 1
#else
#define PULVANE_HAVE_CALLGRIND 0
#endif

namespace {

using namespace pulvane;

using test::ScriptedTransport;

// A heart-rate data page as a belt sends it, the rate in its last byte.
QByteArray broadcastFrame(qint64 n)
{
    QByteArray payload(9, 0);
    payload[0] = 0;
    payload[1] = char(0x84 | ((n / 4) & 1) << 7);
    payload[5] = char(n * 13);
    payload[6] = char(n >> 3);
    payload[7] = char(n);
    payload[8] = char(60 + n % 120);
    return ant::encodeFrame(ant::kMsgBroadcastData, payload);
}

// The real window, counting the lines it logs; with `before` set its log pane
// is written as it was before the EventLog packed its lines.
class BenchForm : public TForm1
{
public:
    BenchForm(ant::AntLibrary &ant, bool before)
        : TForm1(ant), m_before(before ? std::make_unique<BeforeLog>(
                                             *findChild<QPlainTextEdit *>(QStringLiteral("Memo1")))
                                       : nullptr)
    {}
    void appendLine(const QString &line) override
    {
        ++lines;
        if (m_before)
            m_before->appendLine(line);
        else
            TForm1::appendLine(line);
    }
    void appendSeparator() override
    {
        ++lines;
        if (m_before)
            m_before->appendSeparator();
        else
            TForm1::appendSeparator();
    }
    qint64 lines = 0;

private:
    std::unique_ptr<BeforeLog> m_before;
};

struct Figures
{
    double median = 0;
    double p99 = 0;
    // Processor time of every thread of the process, per broadcast.
    double processCpu = 0;
};

double processCpuUs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

Figures timeBroadcasts(ScriptedTransport &stick, qint64 &next, int count, bool repaint)
{
    std::vector<double> samples;
    samples.reserve(count);
    QElapsedTimer timer;
    const double cpuStart = processCpuUs();
    for (int i = 0; i < count; ++i) {
        const QByteArray frame = broadcastFrame(next++);
        timer.start();
        stick.sayBytes(frame);
        if (repaint)
            QCoreApplication::processEvents();
        samples.push_back(timer.nsecsElapsed() / 1000.0);
    }
    const double cpu = (processCpuUs() - cpuStart) / count;
    std::sort(samples.begin(), samples.end());
    return {samples[count / 2], samples[count * 99 / 100], cpu};
}

// Instruments `count` broadcasts (each followed by the repaint when `repaint`
// is set) and dumps their instructions as a callgrind part named `name`.
void countBroadcasts(ScriptedTransport &stick, qint64 &next, int count, bool repaint,
                     const QString &name)
{
#if PULVANE_HAVE_CALLGRIND
    QCoreApplication::processEvents();
    const QByteArray label = name.toLatin1();
    const auto broadcasts = [&](int n) {
        for (int i = 0; i < n; ++i) {
            stick.sayBytes(broadcastFrame(next++));
            if (repaint)
                QCoreApplication::processEvents();
        }
    };
    CALLGRIND_START_INSTRUMENTATION;
    // A few broadcasts first, so that none of the counted ones straddles the
    // start of the instrumentation.
    broadcasts(8);
    CALLGRIND_ZERO_STATS;
    broadcasts(count);
    CALLGRIND_DUMP_STATS_AT(label.constData());
    CALLGRIND_STOP_INSTRUMENTATION;
#else
    Q_UNUSED(stick);
    Q_UNUSED(next);
    Q_UNUSED(count);
    Q_UNUSED(repaint);
    Q_UNUSED(name);
#endif
}

int run(const QString &pane, const QList<qint64> &sizes, int callgrindCount)
{
    test::ScriptedStickProvider sticks;
    sticks.stick().setResponder(test::acknowledgeEverything);
    ant::AntLibrary ant(sticks);
    BenchForm form(ant, pane == QLatin1String("before"));
    form.show();
    QCoreApplication::processEvents();

    form.findChild<QAbstractButton *>(QStringLiteral("Btn_Start1"))->click();
    // The chain runs on queued answers.
    sticks.stick().settle();
    if (!sticks.stick().lastLink() || !form.finder().state().ChannelOpen) {
        QTextStream(stderr) << "the channel did not open\n";
        return 1;
    }
    ScriptedTransport &stick = *sticks.stick().lastLink();
    auto *hr = form.findChild<QLabel *>(QStringLiteral("lbl_HR"));

    constexpr int kSamples = 4000;
    qint64 next = 0;
    QTextStream out(stdout);
    for (const qint64 size : sizes) {
        // Each broadcast adds a line and a separator.
        while (form.lines < size) {
            stick.sayBytes(broadcastFrame(next++));
            if (next % 500 == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        const qint64 lines = form.lines;
        if (callgrindCount > 0) {
            const QString name = QStringLiteral("%1-%2-").arg(pane).arg(lines);
            countBroadcasts(stick, next, callgrindCount, false, name + QStringLiteral("alone"));
            countBroadcasts(stick, next, callgrindCount, true, name + QStringLiteral("painted"));
            out << pane << ' ' << lines << " counted" << Qt::endl;
            continue;
        }
        const Figures alone = timeBroadcasts(stick, next, kSamples, false);
        const Figures painted = timeBroadcasts(stick, next, kSamples, true);
        out << qSetFieldWidth(6) << pane << qSetFieldWidth(0) << "  " << qSetFieldWidth(9) << lines
            << qSetFieldWidth(0) << "  " << qSetFieldWidth(21)
            << QStringLiteral("%1 / %2").arg(alone.median, 0, 'f', 1).arg(alone.p99, 0, 'f', 1)
            << qSetFieldWidth(0) << "  " << qSetFieldWidth(29)
            << QStringLiteral("%1 / %2").arg(painted.median, 0, 'f', 1).arg(painted.p99, 0, 'f', 1)
            << qSetFieldWidth(0) << "  " << qSetFieldWidth(20)
            << QString::number(painted.processCpu, 'f', 1) << qSetFieldWidth(0) << Qt::endl;
    }

    const qint64 received = form.finder().state().BroadcastRxCount;
    if (received != next || !hr->text().startsWith(QStringLiteral("HR: "))) {
        QTextStream(stderr) << "lost broadcasts: delivered " << next << ", counted " << received
                            << '\n';
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto option = [&args](const char *name, qint64 fallback) {
        const int i = args.indexOf(QLatin1String(name));
        return i > 0 && i + 1 < args.size() ? args.at(i + 1).toLongLong() : fallback;
    };
    const qint64 largeLines = option("--large-lines", 1000000);
    const qint64 midLines = option("--mid-lines", 0);
    const int callgrindCount = int(option("--callgrind", 0));
    if (callgrindCount > 0 && !PULVANE_HAVE_CALLGRIND) {
        QTextStream(stderr) << "built without valgrind/callgrind.h: --callgrind is not available\n";
        return 1;
    }
    if (const int i = args.indexOf(QStringLiteral("--pane")); i > 0 && i + 1 < args.size()) {
        QList<qint64> sizes{1000};
        if (midLines > 1000 && midLines < largeLines)
            sizes.append(midLines);
        sizes.append(largeLines);
        return run(args.at(i + 1), sizes, callgrindCount);
    }

    QStringList forwarded{QStringLiteral("--large-lines"), QString::number(largeLines)};
    if (midLines > 0)
        forwarded << QStringLiteral("--mid-lines") << QString::number(midLines);
    if (callgrindCount > 0)
        forwarded << QStringLiteral("--callgrind") << QString::number(callgrindCount);
    return runEachPane(
        callgrindCount > 0
            ? QStringLiteral("pane    log_lines")
            : QStringLiteral(
                  "pane    log_lines  broadcast_us(p50/p99)  broadcast+repaint_us(p50/p99)"
                  "  all_threads_cpu_us"),
        forwarded);
}
