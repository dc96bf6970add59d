// The Windows listing of COM ports: SetupAPI's Ports class, each device's
// PortName from its device key, its hardware IDs and its location path.
#include "comports.h"
#include "setupapi_win.h"

#include <windows.h>

#include <initguid.h> // defines GUID_DEVCLASS_PORTS here

#include <devguid.h>
#include <setupapi.h>

namespace pulvane::stick {

namespace {

QString portName(HDEVINFO set, SP_DEVINFO_DATA *info)
{
    HKEY key = SetupDiOpenDevRegKey(set, info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    wchar_t name[64] = {};
    DWORD size = sizeof name - sizeof(wchar_t);
    DWORD type = 0;
    QString port;
    if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        port = QString::fromWCharArray(name);
    RegCloseKey(key);
    return port;
}

} // namespace

QList<ComPortFound> scanComPorts()
{
    QList<ComPortFound> found;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return found;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        ComPortFound port;
        port.port = portName(set, &info);
        // Printer ports (LPT) share the class.
        if (!port.port.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
            continue;
        port.usb = usbIdsFromHardwareIds(deviceProperty(set, &info, SPDRP_HARDWAREID));
        port.portNumbers =
            usbPortsFromLocationPaths(deviceProperty(set, &info, SPDRP_LOCATION_PATHS));
        const QStringList names = deviceProperty(set, &info, SPDRP_FRIENDLYNAME);
        port.friendlyName = names.isEmpty() ? port.port : names.first();
        found << port;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

} // namespace pulvane::stick
