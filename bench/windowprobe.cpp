// The program's window as main() builds it (real TForm1, AntLibrary and
// SystemStickProvider), driven through its buttons against antsim processes
// for the timing, load and long-run figures. The stick's link is wrapped in a
// transport that timestamps every command written and every answer read; it
// passes the bytes through unchanged.
//
//   windowprobe expose                     prints "exposed <ns>" (CLOCK_MONOTONIC)
//                                          at the window's first expose, then quits
//   windowprobe startup --runs N           starts `expose` N times, start -> expose
//   windowprobe idtime --antsim PATH --runs N
//   windowprobe receive --antsim PATH --sim-seconds S --time-scale X [--sample-s T]
//                       [-- antsim arguments]
//   windowprobe vanish --antsim PATH --rounds N
//
// Each antsim gets a private XDG_RUNTIME_DIR, so only its stick is found.
// Output is key=value lines for scripts/bench.sh and scripts/soak.sh.
#include "antsimprocess.h"
#include "proberig.h"
#include "testenv.h"

#include <QWindow>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

using namespace pulvane;
using namespace pulvane::probe;
using pulvane::test::AntSimProcess;
using pulvane::test::cpuSeconds;
using pulvane::test::PrivateRuntime;
using pulvane::test::SimOutput;

QString argValue(const QStringList &args, const QString &name, const QString &fallback = {})
{
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : fallback;
}

int runExpose()
{
    Window w(false);
    w.form.winId();
    QWindow *handle = w.form.windowHandle();
    struct ExposeFilter : QObject
    {
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::Expose && static_cast<QWindow *>(watched)->isExposed() &&
                !seen) {
                seen = true;
                // After the expose has been handled, its first frame painted
                // and flushed.
                QTimer::singleShot(0, [] {
                    out() << "exposed " << monotonicNs() << Qt::endl;
                    QCoreApplication::exit(0);
                });
            }
            return false;
        }
        bool seen = false;
    } filter;
    handle->installEventFilter(&filter);
    w.form.show();
    QTimer::singleShot(20000, [] { QCoreApplication::exit(1); });
    return QApplication::exec();
}

int runStartup(const QStringList &args)
{
    const int runs = argValue(args, QStringLiteral("--runs"), QStringLiteral("20")).toInt();
    const QByteArray self = QFile::encodeName(QCoreApplication::applicationFilePath());
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        int pipeFd[2];
        if (::pipe(pipeFd) != 0)
            return 1;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFd[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
        char *argv[] = {const_cast<char *>(self.constData()), const_cast<char *>("expose"),
                        nullptr};
        pid_t child = 0;
        const qint64 before = monotonicNs();
        const int rc = posix_spawn(&child, self.constData(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFd[1]);
        if (rc != 0)
            return 1;
        QByteArray text;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(pipeFd[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, n);
        ::close(pipeFd[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        const int at = text.indexOf("exposed ");
        if (at < 0)
            return 1;
        ms.push_back((text.mid(at + 8).trimmed().toLongLong() - before) / 1e6);
    }
    out() << "startup_runs=" << runs
          << "\nstartup_median_ms=" << QString::number(median(ms), 'f', 1)
          << "\nstartup_min_ms=" << QString::number(*std::min_element(ms.begin(), ms.end()), 'f', 1)
          << "\nstartup_max_ms=" << QString::number(*std::max_element(ms.begin(), ms.end()), 'f', 1)
          << Qt::endl;
    return 0;
}

int runIdTime(const QStringList &args)
{
    const int runs = argValue(args, QStringLiteral("--runs"), QStringLiteral("5")).toInt();
    PrivateRuntime runtime;
    AntSimProcess sim(argValue(args, QStringLiteral("--antsim")));
    Window w;
    std::vector<double> totals;
    std::vector<double> trips;
    std::vector<double> toOpen;
    std::vector<double> openToRequest;
    for (int i = 0; i < runs; ++i) {
        if (sim.start({QStringLiteral("--name"), QStringLiteral("probe")}).isEmpty())
            return 1;
        const qint64 clicked = monotonicNs();
        w.start()->click();
        if (!waitUntil([&] { return w.idShown(); }, 20000)) {
            out() << "error=no ID in run " << i << Qt::endl;
            return 1;
        }
        totals.push_back((monotonicNs() - clicked) / 1e6);
        for (const auto &trip : w.sticks.last->roundTrips) {
            trips.push_back(trip.ms);
            // The ID timer starts at the open channel's answer.
            if (trip.command == ant::kMsgOpenChannel) {
                toOpen.push_back((trip.answeredAtNs - clicked) / 1e6);
                openToRequest.push_back((w.sticks.last->requestSentAtNs - trip.answeredAtNs) / 1e6);
                out() << "run " << i << " start_to_open_ms=" << toOpen.back()
                      << " open_to_request_ms=" << openToRequest.back()
                      << " total_ms=" << totals.back() << Qt::endl;
            }
        }
        // The number of round trips on the way to the ID, for the floor.
        if (i == 0)
            out() << "idtime_round_trips=" << w.sticks.last->roundTrips.size() << Qt::endl;
        w.stop()->click();
        sim.stop();
    }
    out() << "idtime_runs=" << runs
          << "\nidtime_median_ms=" << QString::number(median(totals), 'f', 1) << "\nidtime_min_ms="
          << QString::number(*std::min_element(totals.begin(), totals.end()), 'f', 1)
          << "\nidtime_max_ms="
          << QString::number(*std::max_element(totals.begin(), totals.end()), 'f', 1)
          << "\nround_trip_median_ms=" << QString::number(median(trips), 'f', 3)
          << "\nstart_to_open_median_ms=" << QString::number(median(toOpen), 'f', 1)
          << "\nopen_to_request_median_ms=" << QString::number(median(openToRequest), 'f', 1)
          << Qt::endl;
    return 0;
}

// Receives until antsim vanishes at --sim-seconds of its own clock, sampling
// memory and load on the way, then compares the log's count with antsim's.
// antsim ends by vanishing because a hang-up discards what the link still
// holds: ended by a signal it would first catch up its clock and count
// broadcasts that no host could read. For an exact count the belt should
// leave before the vanishing (arguments after -- go to antsim): at a high
// time scale the last broadcast and the hang-up can be one batch of antsim's
// clock, and that broadcast is never readable.
int runReceive(const QStringList &args)
{
    const QString simSeconds =
        argValue(args, QStringLiteral("--sim-seconds"), QStringLiteral("60"));
    const QString scale = argValue(args, QStringLiteral("--time-scale"), QStringLiteral("1"));
    const double sampleEvery =
        argValue(args, QStringLiteral("--sample-s"), QStringLiteral("10")).toDouble();
    PrivateRuntime runtime;
    AntSimProcess sim(argValue(args, QStringLiteral("--antsim")));
    Window w;
    const QStringList extra = args.mid(args.indexOf(QStringLiteral("--")) + 1);
    if (sim.start(QStringList{QStringLiteral("--name"), QStringLiteral("probe"),
                              QStringLiteral("--time-scale"), scale, QStringLiteral("--vanish-at"),
                              simSeconds} +
                  (args.contains(QStringLiteral("--")) ? extra : QStringList()))
            .isEmpty())
        return 1;
    const qint64 self = QCoreApplication::applicationPid();
    w.start()->click();
    if (!waitUntil([&] { return w.received() > 0; }, 20000)) {
        out() << "error=nothing received" << Qt::endl;
        return 1;
    }
    const double selfCpu0 = cpuSeconds(self);
    const double simCpu0 = cpuSeconds(sim.pid());
    const qint64 received0 = w.received();
    QElapsedTimer timer;
    timer.start();
    out() << "sample t_s rss_MiB log_lines received" << Qt::endl;
    const auto sample = [&] {
        out() << "sample " << QString::number(timer.elapsed() / 1000.0, 'f', 1) << ' '
              << QString::number(residentMiB(self), 'f', 1) << ' ' << w.logLines() << ' '
              << w.received() << Qt::endl;
    };
    double nextSample = 0;
    double simCpu = 0;
    double simSpan = 0;
    double selfCpu = 0;
    double selfSpan = 0;
    qint64 during = 0;
    while (w.ant.isOpen()) {
        if (timer.elapsed() >= nextSample * 1000) {
            sample();
            nextSample += sampleEvery;
        }
        // The last readings while antsim still runs.
        if (const double c = cpuSeconds(sim.pid()); c >= 0) {
            simCpu = c - simCpu0;
            simSpan = timer.nsecsElapsed() / 1e9;
            selfCpu = cpuSeconds(self) - selfCpu0;
            selfSpan = simSpan;
            during = w.received() - received0;
        }
        runLoop(100);
    }
    sample();
    const SimOutput simOutput = sim.stop();
    const QString recv = w.lastRecv();
    const QString logCount = recv.mid(recv.lastIndexOf(QStringLiteral("RxCount:")) + 8);
    const QString simCount =
        simOutput.field(QStringLiteral("summary"), QStringLiteral("broadcasts"));
    out() << "receive_seconds=" << QString::number(selfSpan, 'f', 1)
          << "\nreceive_rate_hz=" << QString::number(during / selfSpan, 'f', 1)
          << "\nprogram_cpu_percent=" << QString::number(100 * selfCpu / selfSpan, 'f', 2)
          << "\nantsim_cpu_percent=" << QString::number(100 * simCpu / simSpan, 'f', 2)
          << "\nfinal_rss_MiB=" << QString::number(residentMiB(self), 'f', 1)
          << "\nlog_lines=" << w.logLines() << "\nlast_recv=" << recv
          << "\nlog_rxcount=" << logCount << "\nantsim_broadcasts=" << simCount
          << "\nantsim_dropped_out="
          << simOutput.field(QStringLiteral("link"), QStringLiteral("dropped-out"))
          << "\nantsim_rx_failures="
          << simOutput.field(QStringLiteral("summary"), QStringLiteral("rx-failures"))
          << "\nantsim_drops="
          << simOutput.field(QStringLiteral("summary"), QStringLiteral("drops"))
          << "\nmessage_boxes=" << w.messages.size()
          << "\ncounts_match=" << (logCount == simCount ? "yes" : "no") << Qt::endl;
    return 0;
}

// The stick vanishes in the middle of receiving, STOP, antsim comes back
// under the same name, START finds it again: rounds times, then one more
// START that must find the belt and its ID.
int runVanish(const QStringList &args)
{
    const int rounds = argValue(args, QStringLiteral("--rounds"), QStringLiteral("20")).toInt();
    PrivateRuntime runtime;
    AntSimProcess sim(argValue(args, QStringLiteral("--antsim")));
    Window w;
    const QStringList common = {QStringLiteral("--name"), QStringLiteral("probe")};
    int ok = 0;
    for (int round = 1; round <= rounds; ++round) {
        // Vanishes 6 s after it starts: after the ID (4 s timer) has come.
        if (sim.start(common + QStringList{QStringLiteral("--vanish-at"), QStringLiteral("6")})
                .isEmpty())
            return 1;
        const qint64 before = w.received();
        w.start()->click();
        const bool id = waitUntil([&] { return w.idShown(); }, 15000);
        const bool gone = sim.process().waitForFinished(15000);
        const SimOutput simOutput = sim.stop();
        const bool vanished = !simOutput.withWord(QStringLiteral("vanished")).isEmpty();
        waitUntil([&] { return !w.ant.isOpen(); }, 5000);
        const bool released = !w.ant.isOpen();
        const qint64 got = w.received() - before;
        const bool stopEnabled = w.stop()->isEnabled();
        w.stop()->click();
        const bool roundOk = id && gone && vanished && released && got > 0 && stopEnabled;
        ok += roundOk;
        out() << "round " << round << " id=" << w.id() << " received=" << got
              << " vanished=" << vanished << " released=" << released
              << " stop_enabled=" << stopEnabled << " start_enabled=" << w.start()->isEnabled()
              << (roundOk ? " ok" : " FAILED") << Qt::endl;
    }
    if (sim.start(common).isEmpty())
        return 1;
    const qint64 before = w.received();
    w.start()->click();
    const bool id = waitUntil([&] { return w.idShown(); }, 15000);
    waitUntil([] { return false; }, 2000);
    const qint64 got = w.received() - before;
    w.stop()->click();
    const SimOutput simOutput = sim.stop();
    out() << "final id=" << w.id() << " received=" << got
          << " antsim_found=" << simOutput.field(QStringLiteral("found"), QStringLiteral("dev"))
          << "\nvanish_rounds_ok=" << ok << '/' << rounds << "\nvanish_final_ok=" << (id && got > 0)
          << "\nvanish_log_lines=" << w.logLines() << Qt::endl;
    return ok == rounds && id && got > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QStringLiteral("expose"))
        return runExpose();
    if (mode == QStringLiteral("startup"))
        return runStartup(args);
    if (mode == QStringLiteral("idtime"))
        return runIdTime(args);
    if (mode == QStringLiteral("receive"))
        return runReceive(args);
    if (mode == QStringLiteral("vanish"))
        return runVanish(args);
    QTextStream(stderr) << "usage: windowprobe expose|startup|idtime|receive|vanish ...\n";
    return 2;
}
