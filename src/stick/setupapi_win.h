// SetupAPI's device properties read as text, for the listings that ask
// Windows about its devices (comports_win.cpp, stickdrivers_win.cpp).
// Windows only.
#pragma once

#include <QStringList>

#include <windows.h>

#include <setupapi.h>

namespace pulvane::stick {

// A REG_SZ property as one string, a REG_MULTI_SZ one as its strings; empty
// when the device has no such property.
QStringList deviceProperty(HDEVINFO set, SP_DEVINFO_DATA *info, DWORD property);

} // namespace pulvane::stick
