// A device entry registered with SetupAPI for the length of a test, as a
// driver's installation leaves one, and removed when the object goes.
// Windows (or Wine) only.
#pragma once

#include <windows.h>

#include <initguid.h> // defines the device class GUIDs in the test's own file

#include <devguid.h>
#include <setupapi.h>

#include <initializer_list>
#include <vector>

namespace pulvane::test {

class RegisteredDevice
{
public:
    enum Class
    {
        Ports,
        Usb
    };

    // name: a whole instance ID ("USB\VID_0FCF&PID_1009\PULVANETEST"), or a
    // bare name from which SetupAPI makes one under ROOT.
    RegisteredDevice(Class deviceClass, const wchar_t *name)
    {
        const GUID *guid = deviceClass == Ports ? &GUID_DEVCLASS_PORTS : &GUID_DEVCLASS_USB;
        m_set = SetupDiCreateDeviceInfoList(guid, nullptr);
        m_info.cbSize = sizeof m_info;
        const DWORD flags = wcschr(name, L'\\') ? 0 : DICD_GENERATE_ID;
        m_valid = m_set != INVALID_HANDLE_VALUE &&
                  SetupDiCreateDeviceInfoW(m_set, name, guid, nullptr, nullptr, flags, &m_info);
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

    bool isValid() const { return m_valid; }

    // Properties are set before registerIt().
    bool setString(DWORD property, const wchar_t *value)
    {
        return set(property, value, (wcslen(value) + 1) * sizeof(wchar_t));
    }
    bool setMultiString(DWORD property, std::initializer_list<const wchar_t *> values)
    {
        std::vector<wchar_t> data;
        for (const wchar_t *value : values)
            data.insert(data.end(), value, value + wcslen(value) + 1);
        data.push_back(L'\0');
        return set(property, data.data(), data.size() * sizeof(wchar_t));
    }
    bool registerIt()
    {
        m_registered = m_valid && SetupDiRegisterDeviceInfo(m_set, &m_info, 0, nullptr, nullptr,
                                                            nullptr);
        return m_registered;
    }
    // A value in the registered device's own key (a port's PortName).
    bool setDeviceValue(const wchar_t *name, const wchar_t *value)
    {
        HKEY key = SetupDiCreateDevRegKeyW(m_set, &m_info, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                           nullptr, nullptr);
        if (key == INVALID_HANDLE_VALUE)
            return false;
        const bool ok = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                                       DWORD((wcslen(value) + 1) * sizeof(wchar_t))) ==
                        ERROR_SUCCESS;
        RegCloseKey(key);
        return ok;
    }

private:
    bool set(DWORD property, const void *data, size_t bytes)
    {
        return m_valid && SetupDiSetDeviceRegistryPropertyW(
                              m_set, &m_info, property, static_cast<const BYTE *>(data),
                              DWORD(bytes));
    }

    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_info{};
    bool m_valid = false;
    bool m_registered = false;
};

} // namespace pulvane::test
