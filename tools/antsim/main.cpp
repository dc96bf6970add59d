// antsim: a simulated ANT stick on a pseudo-terminal. Runs SimStick on real
// time scaled by --time-scale until a signal or --vanish-at ends it.
#include "ending.h"
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
#include <functional>
#include <unistd.h>

using namespace pulvane::antsim;

namespace {

// Faults: no event loop to go back to, so the handler itself removes the link
// and the lock file and lets the signal take its course.
constexpr int kFaultSignals[] = {SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGTRAP, SIGSYS};

char g_linkPath[PATH_MAX] = {};
char g_lockPath[PATH_MAX] = {};
struct sigaction g_previous[NSIG] = {};

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

bool installFaultHandlers()
{
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("antsim"));

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

    // Every signal that ends a process by default ends antsim the orderly
    // way, through its event loop: the link goes, the summary is printed.
    std::function<void()> onEnding = [] {};
    pulvane::host::Ending ending(pulvane::host::Ending::Signals::Every,
                                 [&onEnding](int) { onEnding(); });
    if (!ending.isInstalled() || !installFaultHandlers()) {
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

    QSocketNotifier hostNotifier(link.masterFd(), QSocketNotifier::Read);
    SimStick stick(options.config);
    QElapsedTimer clock;
    const double scale = options.timeScale;
    const auto simNow = [&clock, scale] {
        return SimTime(double(clock.nsecsElapsed()) / 1000.0 * scale);
    };

    QTimer dueTimer;
    dueTimer.setSingleShot(true);
    dueTimer.setTimerType(Qt::PreciseTimer);
    const auto reschedule = [&] {
        const std::optional<SimTime> due = stick.nextDue();
        if (!due) {
            dueTimer.stop();
            return;
        }
        dueTimer.start(realDelayMs(*due, simNow(), scale));
    };
    bool finished = false;
    const auto finish = [&] {
        if (finished)
            return;
        finished = true;
        hostNotifier.setEnabled(false);
        link.close();
        g_linkPath[0] = '\0';
        g_lockPath[0] = '\0';
        for (const QString &line : stick.summary())
            printLine(line);
        printLine(QStringLiteral("link dropped-out=%1").arg(link.droppedOut()));
        printLine(QStringLiteral("end"));
        QCoreApplication::quit();
    };

    QObject::connect(&stick, &SimStick::eventLine, &app, printLine);
    QObject::connect(&stick, &SimStick::bytesOut, &app,
                     [&link](const QByteArray &bytes) { link.write(bytes); });
    QObject::connect(&stick, &SimStick::resetReceived, &app, [&link] { link.discardUnread(); });
    QObject::connect(&stick, &SimStick::vanished, &app, finish);
    QObject::connect(&dueTimer, &QTimer::timeout, &app, [&] {
        stick.advanceTo(simNow());
        if (!finished)
            reschedule();
    });

    QObject::connect(&hostNotifier, &QSocketNotifier::activated, &app, [&] {
        const QByteArray bytes = link.readAvailable();
        // Whatever fell due before these bytes came happens first.
        stick.advanceTo(simNow());
        if (finished)
            return;
        stick.receive(bytes);
        reschedule();
    });
    onEnding = [&] {
        stick.advanceTo(simNow());
        finish();
    };

    clock.start();
    printLine(QStringLiteral("ready %1").arg(link.linkPath()));
    reschedule();
    return QCoreApplication::exec();
}
