// A device entry registered with SetupAPI for the length of a test, as a
// driver's installation leaves one; removed when the object goes. Windows
// (or Wine) only.
#pragma once

#include <windows.h>

#include <initguid.h> // defines the device class GUIDs in the test's own file

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace pulvane::test {

class RegisteredDevice
{
public:
    // name: a whole instance ID ("USB\VID_0FCF&PID_1009\PULVANETEST"), or a
    // bare name SetupAPI makes one of under ROOT. properties: SPDRP_* with
    // their text; a REG_MULTI_SZ one (hardware and compatible IDs, upper
    // filters) has its strings split at '|'.
    RegisteredDevice(const GUID &deviceClass, const wchar_t *name,
                     const std::vector<std::pair<DWORD, std::wstring>> &properties)
    {
        m_set = SetupDiCreateDeviceInfoList(&deviceClass, nullptr);
        m_info.cbSize = sizeof m_info;
        const DWORD flags = wcschr(name, L'\\') ? 0 : DICD_GENERATE_ID;
        bool ok = m_set != INVALID_HANDLE_VALUE &&
                  SetupDiCreateDeviceInfoW(m_set, name, &deviceClass, nullptr, nullptr, flags,
                                           &m_info);
        for (const auto &[property, text] : properties) {
            std::wstring data = text + L'\0';
            if (property == SPDRP_HARDWAREID || property == SPDRP_COMPATIBLEIDS ||
                property == SPDRP_UPPERFILTERS) {
                std::replace(data.begin(), data.end(), L'|', L'\0');
                data += L'\0';
            }
            ok = ok && SetupDiSetDeviceRegistryPropertyW(
                           m_set, &m_info, property, reinterpret_cast<const BYTE *>(data.data()),
                           DWORD(data.size() * sizeof(wchar_t)));
        }
        m_registered =
            ok && SetupDiRegisterDeviceInfo(m_set, &m_info, 0, nullptr, nullptr, nullptr);
    }
    ~RegisteredDevice()
    {
        if (m_registered)
            SetupDiRemoveDevice(m_set, &m_info);
        if (m_set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(m_set);
    }
    RegisteredDevice(const RegisteredDevice &) = delete;
    RegisteredDevice &operator=(const RegisteredDevice &) = delete;

    bool isRegistered() const { return m_registered; }

    // A value in the device's own key (a port's PortName).
    bool setDeviceValue(const wchar_t *name, const std::wstring &value)
    {
        HKEY key = SetupDiCreateDevRegKeyW(m_set, &m_info, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                           nullptr, nullptr);
        if (key == INVALID_HANDLE_VALUE)
            return false;
        const bool ok = RegSetValueExW(key, name, 0, REG_SZ,
                                       reinterpret_cast<const BYTE *>(value.c_str()),
                                       DWORD((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        RegCloseKey(key);
        return ok;
    }

private:
    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_info{};
    bool m_registered = false;
};

} // namespace pulvane::test
