#include "setupapi_win.h"

#include "comports.h"

#include <vector>

namespace pulvane::stick {

QStringList deviceProperty(HDEVINFO set, SP_DEVINFO_DATA *info, DWORD property)
{
    DWORD type = 0;
    DWORD needed = 0;
    SetupDiGetDeviceRegistryPropertyW(set, info, property, &type, nullptr, 0, &needed);
    if (needed == 0)
        return {};
    std::vector<wchar_t> data(needed / sizeof(wchar_t) + 1, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, info, property, &type,
                                           reinterpret_cast<BYTE *>(data.data()), needed, nullptr))
        return {};
    if (type == REG_SZ)
        return {QString::fromWCharArray(data.data())};
    if (type != REG_MULTI_SZ)
        return {};
    return multiStringList(data.data(), needed / sizeof(wchar_t));
}

} // namespace pulvane::stick
