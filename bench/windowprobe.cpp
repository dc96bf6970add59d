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
#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"
#include "stickopen.h"
#include "tform1.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextStream>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <csignal>
#include <ctime>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace pulvane;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// utime + stime of a process in seconds, from /proc/<pid>/stat.
double cpuSeconds(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold spaces.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

double residentMiB(const QString &pid)
{
    QFile statm(QStringLiteral("/proc/%1/statm").arg(pid));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * sysconf(_SC_PAGESIZE) / 1048576.0;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Runs the event loop for ms, sleeping while there is nothing to do (the
// timed processEvents() never sleeps: it would spin and show as load).
void runLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Waits, running the event loop, until done() holds or the time is up.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        runLoop(20);
    }
    return true;
}

// Passes a stick's bytes through, noting when each command went out and when
// the answer to it came back.
class TimingTransport : public ant::Transport
{
public:
    explicit TimingTransport(std::unique_ptr<ant::Transport> inner) : m_inner(std::move(inner))
    {
        connect(m_inner.get(), &Transport::bytesArrived, this, &TimingTransport::onBytes);
        connect(m_inner.get(), &Transport::gone, this, &Transport::gone);
        m_clock.start();
    }
    ~TimingTransport() override { m_inner->disconnect(this); }

    bool write(const QByteArray &bytes) override
    {
        for (const ant::AntMessage &m : m_written.feed(bytes)) {
            m_sentAt[m.id] = m_clock.nsecsElapsed();
            if (m.id == ant::kMsgRequestMessage)
                requestSentAtNs = monotonicNs();
        }
        return m_inner->write(bytes);
    }
    bool isOpen() const override { return m_inner->isOpen(); }
    void close() override { m_inner->close(); }
    QString description() const override { return m_inner->description(); }

    struct RoundTrip
    {
        uint8_t command;
        double ms;
        qint64 answeredAtNs; // CLOCK_MONOTONIC
    };
    // In the order the answers came.
    std::vector<RoundTrip> roundTrips;
    qint64 requestSentAtNs = 0; // CLOCK_MONOTONIC, the last request message

private:
    void onBytes(const QByteArray &bytes)
    {
        const qint64 now = m_clock.nsecsElapsed();
        for (const ant::AntMessage &m : m_read.feed(bytes)) {
            // A command's answer: its response, or the message it requested.
            uint8_t answered = 0;
            if (m.id == ant::kMsgChannelResponse && m.payload.size() >= 3 &&
                uint8_t(m.payload.at(1)) != ant::kMsgIdRfEvent)
                answered = uint8_t(m.payload.at(1));
            else if (m.id == ant::kMsgChannelId)
                answered = ant::kMsgRequestMessage;
            const auto sent = m_sentAt.find(answered);
            if (answered && sent != m_sentAt.end()) {
                roundTrips.push_back({answered, (now - sent->second) / 1e6, monotonicNs()});
                m_sentAt.erase(sent);
            }
        }
        emit bytesArrived(bytes);
    }

    std::unique_ptr<ant::Transport> m_inner;
    ant::FrameDecoder m_written;
    ant::FrameDecoder m_read;
    std::map<uint8_t, qint64> m_sentAt;
    QElapsedTimer m_clock;
};

class TimingProvider : public ant::StickProvider
{
public:
    std::unique_ptr<ant::Transport> openStick(int index, int baudrate, QString *why) override
    {
        std::unique_ptr<ant::Transport> inner = m_system.openStick(index, baudrate, why);
        if (!inner)
            return nullptr;
        auto transport = std::make_unique<TimingTransport>(std::move(inner));
        last = transport.get();
        return transport;
    }
    TimingTransport *last = nullptr;

private:
    ant::SystemStickProvider m_system;
};

// One antsim process in a runtime directory of its own.
class Sim
{
public:
    Sim(QString path, const QString &runtimeDir) : m_path(std::move(path))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        m_process.setProcessEnvironment(env);
        // The window looks for sticks in the same directory.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir));
    }
    ~Sim() { stop(); }

    bool start(const QStringList &arguments)
    {
        m_output.clear();
        m_process.start(m_path, arguments);
        if (!m_process.waitForStarted())
            return false;
        QDeadlineTimer deadline(10000);
        while (!m_process.canReadLine() && !deadline.hasExpired() &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(int(deadline.remainingTime()));
        return m_process.readLine().startsWith("ready ");
    }
    QString pid() const { return QString::number(m_process.processId()); }
    void pause() { ::kill(pid_t(m_process.processId()), SIGSTOP); }
    void resume() { ::kill(pid_t(m_process.processId()), SIGCONT); }
    // Ends it (SIGTERM) and returns everything it printed.
    QString stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(10000);
        }
        m_output += QString::fromLocal8Bit(m_process.readAll());
        return m_output;
    }
    bool waitFinished(int ms) { return m_process.waitForFinished(ms); }
    // The value of key= on the first line starting with word.
    static QString field(const QString &output, const QString &word, const QString &key)
    {
        for (const QString &line : output.split(u'\n')) {
            if (!line.startsWith(word + u' '))
                continue;
            for (const QString &part : line.split(u' '))
                if (part.startsWith(key + u'='))
                    return part.mid(key.size() + 1);
        }
        return {};
    }

private:
    QString m_path;
    QProcess m_process;
    QString m_output;
};

// The window and its stick, as main() makes them.
struct Window
{
    TimingProvider sticks;
    ant::AntLibrary ant{sticks};
    TForm1 form{ant};
    QAbstractButton *start = form.findChild<QAbstractButton *>(QStringLiteral("Btn_Start1"));
    QAbstractButton *stop = form.findChild<QAbstractButton *>(QStringLiteral("Btn_Stop"));
    QLabel *id = form.findChild<QLabel *>(QStringLiteral("lbl_DeviceNumber"));
    QPlainTextEdit *memo = form.findChild<QPlainTextEdit *>(QStringLiteral("Memo1"));

    explicit Window(bool show = true)
    {
        if (show)
            form.show();
        // A message box (no stick found) would wait for a person: it is
        // reported and dismissed.
        QObject::connect(&modalWatch, &QTimer::timeout, [this] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                ++messages;
                const auto *box = qobject_cast<QMessageBox *>(modal);
                out() << "message-box " << (box ? box->text() : QString()) << Qt::endl;
                modal->close();
            }
        });
        modalWatch.start(100);
    }
    QTimer modalWatch;
    int messages = 0;
    qint64 received() const { return const_cast<TForm1 &>(form).finder().state().BroadcastRxCount; }
    bool idShown() const { return id->text().startsWith(QStringLiteral("ID: ")); }
    // The last "Recv(" line of the log. A block of the log holds one line or,
    // once packed, several joined by line separators.
    QString lastRecv() const
    {
        for (QTextBlock b = memo->document()->lastBlock(); b.isValid(); b = b.previous()) {
            const QStringList lines = b.text().split(QChar::LineSeparator);
            for (auto line = lines.crbegin(); line != lines.crend(); ++line)
                if (line->startsWith(QStringLiteral("Recv(")))
                    return *line;
        }
        return {};
    }
    qint64 logLines() const
    {
        qint64 lines = 0;
        for (QTextBlock b = memo->document()->firstBlock(); b.isValid(); b = b.next())
            lines += 1 + b.text().count(QChar::LineSeparator);
        return lines;
    }
};

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
    QTemporaryDir runtime;
    Sim sim(argValue(args, QStringLiteral("--antsim")), runtime.path());
    Window w;
    std::vector<double> totals;
    std::vector<double> trips;
    std::vector<double> toOpen;
    std::vector<double> openToRequest;
    for (int i = 0; i < runs; ++i) {
        if (!sim.start({QStringLiteral("--name"), QStringLiteral("probe")}))
            return 1;
        const qint64 clicked = monotonicNs();
        w.start->click();
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
        w.stop->click();
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
    QTemporaryDir runtime;
    Sim sim(argValue(args, QStringLiteral("--antsim")), runtime.path());
    Window w;
    const QStringList extra = args.mid(args.indexOf(QStringLiteral("--")) + 1);
    if (!sim.start(QStringList{QStringLiteral("--name"), QStringLiteral("probe"),
                               QStringLiteral("--time-scale"), scale, QStringLiteral("--vanish-at"),
                               simSeconds} +
                   (args.contains(QStringLiteral("--")) ? extra : QStringList())))
        return 1;
    const QString self = QString::number(QCoreApplication::applicationPid());
    w.start->click();
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
    const QString simOutput = sim.stop();
    const QString recv = w.lastRecv();
    const QString logCount = recv.mid(recv.lastIndexOf(QStringLiteral("RxCount:")) + 8);
    const QString simCount =
        Sim::field(simOutput, QStringLiteral("summary"), QStringLiteral("broadcasts"));
    out() << "receive_seconds=" << QString::number(selfSpan, 'f', 1)
          << "\nreceive_rate_hz=" << QString::number(during / selfSpan, 'f', 1)
          << "\nprogram_cpu_percent=" << QString::number(100 * selfCpu / selfSpan, 'f', 2)
          << "\nantsim_cpu_percent=" << QString::number(100 * simCpu / simSpan, 'f', 2)
          << "\nfinal_rss_MiB=" << QString::number(residentMiB(self), 'f', 1)
          << "\nlog_lines=" << w.logLines() << "\nlast_recv=" << recv
          << "\nlog_rxcount=" << logCount << "\nantsim_broadcasts=" << simCount
          << "\nantsim_dropped_out="
          << Sim::field(simOutput, QStringLiteral("link"), QStringLiteral("dropped-out"))
          << "\nantsim_rx_failures="
          << Sim::field(simOutput, QStringLiteral("summary"), QStringLiteral("rx-failures"))
          << "\nantsim_drops="
          << Sim::field(simOutput, QStringLiteral("summary"), QStringLiteral("drops"))
          << "\nmessage_boxes=" << w.messages
          << "\ncounts_match=" << (logCount == simCount ? "yes" : "no") << Qt::endl;
    return 0;
}

// The stick vanishes in the middle of receiving, STOP, antsim comes back
// under the same name, START finds it again: rounds times, then one more
// START that must find the belt and its ID.
int runVanish(const QStringList &args)
{
    const int rounds = argValue(args, QStringLiteral("--rounds"), QStringLiteral("20")).toInt();
    QTemporaryDir runtime;
    Sim sim(argValue(args, QStringLiteral("--antsim")), runtime.path());
    Window w;
    const QStringList common = {QStringLiteral("--name"), QStringLiteral("probe")};
    int ok = 0;
    for (int round = 1; round <= rounds; ++round) {
        // Vanishes 6 s after it starts: after the ID (4 s timer) has come.
        if (!sim.start(common + QStringList{QStringLiteral("--vanish-at"), QStringLiteral("6")}))
            return 1;
        const qint64 before = w.received();
        w.start->click();
        const bool id = waitUntil([&] { return w.idShown(); }, 15000);
        const bool gone = sim.waitFinished(15000);
        const QString simOutput = sim.stop();
        const bool vanished = simOutput.contains(QStringLiteral("vanished t="));
        waitUntil([&] { return !w.ant.isOpen(); }, 5000);
        const bool released = !w.ant.isOpen();
        const qint64 got = w.received() - before;
        const bool stopEnabled = w.stop->isEnabled();
        w.stop->click();
        const bool roundOk = id && gone && vanished && released && got > 0 && stopEnabled;
        ok += roundOk;
        out() << "round " << round << " id=" << w.id->text() << " received=" << got
              << " vanished=" << vanished << " released=" << released
              << " stop_enabled=" << stopEnabled << " start_enabled=" << w.start->isEnabled()
              << (roundOk ? " ok" : " FAILED") << Qt::endl;
    }
    if (!sim.start(common))
        return 1;
    const qint64 before = w.received();
    w.start->click();
    const bool id = waitUntil([&] { return w.idShown(); }, 15000);
    waitUntil([] { return false; }, 2000);
    const qint64 got = w.received() - before;
    w.stop->click();
    const QString simOutput = sim.stop();
    out() << "final id=" << w.id->text() << " received=" << got << " antsim_found="
          << Sim::field(simOutput, QStringLiteral("found"), QStringLiteral("dev"))
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
