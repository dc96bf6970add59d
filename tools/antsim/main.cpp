// antsim: a simulated ANT stick on a pseudo-terminal. Runs SimStick on real
// time scaled by --time-scale until a signal or --vanish-at ends it.
#include "options.h"
#include "ptylink.h"
#include "simstick.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace pulvane::antsim;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool installSignalPipe()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
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
    case ParseResult::Run:
        break;
    }

    if (!installSignalPipe()) {
        std::perror("antsim: signal handlers");
        return 1;
    }
    PtyLink link;
    if (!link.open(options.name, &message)) {
        std::fprintf(stderr, "antsim: %s\n", qPrintable(message));
        return 1;
    }

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
        const double realMs = double(*due - simNow()) / scale / 1000.0;
        dueTimer.start(std::max(0, int(std::ceil(realMs))));
    };
    bool finished = false;
    const auto finish = [&] {
        if (finished)
            return;
        finished = true;
        hostNotifier.setEnabled(false);
        link.close();
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
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char drained[16];
        while (::read(g_signalPipe[0], drained, sizeof drained) > 0) {
        }
        stick.advanceTo(simNow());
        finish();
    });

    clock.start();
    printLine(QStringLiteral("ready %1").arg(link.linkPath()));
    reschedule();
    return QCoreApplication::exec();
}
