// The serial line a stick behind a tty or a COM port is opened with: Qt
// SerialPort on Linux (serialline_linux.cpp), the Win32 serial API on Windows
// (serialline_win.cpp). The build picks one; the opener never asks which.
#pragma once

#include "processes.h"
#include "opened.h"

#include <memory>

namespace pulvane::stick {

// Opens path raw at baudrate, 8N1, ready for traffic; processes is the
// START's look at /proc. Failures are worded in openfailure.h.
ant::OpenedStick openSerialLine(const QString &path, int baudrate, const QString &description,
                                const host::ProcessSnapshot &processes);

// Closes every serial line still open. A line may hold a lock file that
// only its close removes, so the program's ending calls this first (main
// installs it, for the ending signals and exit()).
void closeSerialLines();

} // namespace pulvane::stick
