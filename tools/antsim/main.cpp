// antsim: a simulated ANT stick on a pseudo-terminal. Runs SimStick on real
// time scaled by --time-scale until a signal or --vanish-at ends it.
#include "messagelog.h"
#include "options.h"
#include "ptylink.h"
#include "simstick.h"
#include "sticklist.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <QFile>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace pulvane::antsim;

namespace {

int g_signalPipe[2] = {-1, -1};

// Signals that end a process by default and can be caught. These end antsim
// the orderly way, through its event loop: the link goes, the summary is
// printed. SIGHUP comes when its terminal closes, SIGPIPE when what reads its
// output is gone (antsim | head).
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE,   SIGALRM,
                                  SIGTERM, SIGUSR1,   SIGUSR2, SIGXCPU,   SIGXFSZ,
                                  SIGPOLL, SIGVTALRM, SIGPROF, SIGSTKFLT, SIGPWR};
// Faults: no event loop to go back to, so the handler itself removes the link
// and the lock file and lets the signal take its course.
constexpr int kFaultSignals[] = {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGTRAP, SIGSYS};

char g_linkPath[PATH_MAX] = {};
char g_lockPath[PATH_MAX] = {};
struct sigaction g_previous[NSIG] = {};

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

void onFault(int signal)
{
    if (g_linkPath[0])
        ::unlink(g_linkPath);
    if (g_lockPath[0])
        ::unlink(g_lockPath);
    ::sigaction(signal, &g_previous[signal], nullptr);
    // Blocked while this handler runs: taken, by the previous handler or the
    // default action, as soon as it returns.
    ::raise(signal);
}

bool installSignalHandlers()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kEndingSignals) {
        struct sigaction current = {};
        if (::sigaction(signal, nullptr, &current) != 0)
            return false;
        // What the caller chose to ignore (nohup, a background job's SIGINT
        // and SIGQUIT) stays ignored; SIGINT and SIGTERM always end antsim.
        if (current.sa_handler == SIG_IGN && signal != SIGINT && signal != SIGTERM)
            continue;
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    struct sigaction fault = {};
    fault.sa_handler = onFault;
    sigemptyset(&fault.sa_mask);
    for (const int signal : kFaultSignals) {
        if (::sigaction(signal, &fault, &g_previous[signal]) != 0)
            return false;
    }
    return true;
}

void copyPath(char (&to)[PATH_MAX], const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() < PATH_MAX)
        std::memcpy(to, bytes.constData(), size_t(bytes.size()) + 1);
}

void printLine(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// One run: the stick on the link, its clock and what is next due, until a
// signal, a vanish or the end of the event loop.
class SimRun
{
public:
    SimRun(PtyLink &link, const SimOptions &options)
        : m_link(link), m_hostNotifier(link.masterFd(), QSocketNotifier::Read),
          m_stick(options.config), m_scale(options.timeScale)
    {
        m_dueTimer.setSingleShot(true);
        m_dueTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_stick, &SimStick::eventLine, printLine);
        QObject::connect(&m_stick, &SimStick::bytesOut,
                         [this](const QByteArray &bytes) { m_link.write(bytes); });
        QObject::connect(&m_stick, &SimStick::resetReceived, [this] { m_link.discardUnread(); });
        QObject::connect(&m_stick, &SimStick::vanished, [this] { finish(); });
        QObject::connect(&m_dueTimer, &QTimer::timeout, [this] {
            m_stick.advanceTo(simNow());
            if (!m_finished)
                reschedule();
        });
        QObject::connect(&m_hostNotifier, &QSocketNotifier::activated, [this] {
            const QByteArray bytes = m_link.readAvailable();
            // Whatever fell due before these bytes came happens first.
            m_stick.advanceTo(simNow());
            if (m_finished)
                return;
            m_stick.receive(bytes);
            reschedule();
        });
    }

    void start()
    {
        m_clock.start();
        printLine(QStringLiteral("ready %1").arg(m_link.linkPath()));
        reschedule();
    }

    // An ending signal: what fell due so far happens, then the run ends.
    void end()
    {
        m_stick.advanceTo(simNow());
        finish();
    }

private:
    SimTime simNow() const { return SimTime(double(m_clock.nsecsElapsed()) / 1000.0 * m_scale); }

    void reschedule()
    {
        const std::optional<SimTime> due = m_stick.nextDue();
        if (!due) {
            m_dueTimer.stop();
            return;
        }
        m_dueTimer.start(realDelayMs(*due, simNow(), m_scale));
    }

    void finish()
    {
        if (m_finished)
            return;
        m_finished = true;
        m_hostNotifier.setEnabled(false);
        m_link.close();
        g_linkPath[0] = '\0';
        g_lockPath[0] = '\0';
        for (const QString &line : m_stick.summary())
            printLine(line);
        printLine(QStringLiteral("link dropped-out=%1").arg(m_link.droppedOut()));
        printLine(QStringLiteral("end"));
        QCoreApplication::quit();
    }

    PtyLink &m_link;
    QSocketNotifier m_hostNotifier;
    SimStick m_stick;
    const double m_scale;
    QElapsedTimer m_clock;
    QTimer m_dueTimer;
    bool m_finished = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("antsim"));
    // The stick discovery's lines, as the program prints them.
    pulvane::ant::MessageLog log;

    SimOptions options;
    QString message;
    switch (parseOptions(QCoreApplication::arguments(), &options, &message)) {
    case ParseResult::Help:
        printLine(message);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "antsim: %s\n", qPrintable(message));
        return 2;
    case ParseResult::ListSticks:
        // What Pulvane's own discovery finds, so that a script need not
        // repeat its rules.
        for (const pulvane::stick::StickLocation &stick : pulvane::stick::findSticks())
            printLine(stick.description);
        return 0;
    case ParseResult::Run:
        break;
    }

    if (!installSignalHandlers()) {
        std::perror("antsim: signal handlers");
        return 1;
    }
    PtyLink link;
    if (!link.open(options.name, &message)) {
        std::fprintf(stderr, "antsim: %s\n", qPrintable(message));
        return 1;
    }
    copyPath(g_linkPath, link.linkPath());
    copyPath(g_lockPath, link.lockPath());

    SimRun run(link, options);
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&run] {
        char drained[16];
        while (::read(g_signalPipe[0], drained, sizeof drained) > 0) {
        }
        run.end();
    });
    run.start();
    return QCoreApplication::exec();
}
