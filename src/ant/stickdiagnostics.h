// Lines that say why a stick could not be opened or went away. They go to
// standard error (qWarning) on every platform; a windowed program on Windows
// has no standard error, so there they are also kept in a per-user file
// (stickdiagnostics_win.cpp), and Qt hands the warning itself to the
// debugger output.
#pragma once

#include <QString>

namespace pulvane::ant {

// Called on the window's thread for each such line.
void reportStickTrouble(const QString &line);

// Where the lines are kept: <local application data>/Pulvane/diagnostics.log
// on Windows; empty where nothing is kept beside standard error.
QString stickDiagnosticsFile();

} // namespace pulvane::ant
