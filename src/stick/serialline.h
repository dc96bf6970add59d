// The serial line a stick behind a tty or a COM port is opened with: Qt
// SerialPort on Linux (serialline_linux.cpp), the Win32 serial API on Windows
// (serialline_win.cpp). The build picks one; the opener never asks which.
#pragma once

#include "transport.h"

#include <memory>

namespace pulvane::stick {

// Opens path raw at baudrate, 8N1, ready for traffic. On failure returns null
// and sets why (see openfailure.h).
std::unique_ptr<ant::Transport> openSerialLine(const QString &path, int baudrate,
                                          const QString &description, QString *why);

} // namespace pulvane::stick
