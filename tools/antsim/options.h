// The command line of antsim: what it accepts, the help text (which also
// documents the output lines), and the parsing into a SimConfig.
#pragma once

#include "simconfig.h"

#include <QString>
#include <QStringList>

namespace pulvane::antsim {

struct SimOptions
{
    SimConfig config;
    QString name = QStringLiteral("antsim");
    // Simulated seconds per real second.
    double timeScale = 1.0;
};

enum class ParseResult
{
    Run,
    Help,
    // List the machine's sticks instead of simulating one.
    ListSticks,
    Error
};

// The real time to wait for simulated time `due`, seen at `now`: whole
// milliseconds rounded up, never below 0, and at most an hour, after which
// the waiter looks again. A far-off --vanish-at at a small --time-scale lies
// beyond what a timer's int of milliseconds holds.
int realDelayMs(SimTime due, SimTime now, double timeScale);

// arguments[0] is the program name. On Help, message holds the help text; on
// Error, what was wrong.
ParseResult parseOptions(const QStringList &arguments, SimOptions *options, QString *message);

} // namespace pulvane::antsim
