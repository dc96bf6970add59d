// The settings store in the Windows registry, read back without Qt as the
// companion applications read it. Windows only.
#pragma once

#include <QString>

#include <string>
#include <windows.h>

namespace pulvane::test {

// Under HKEY_CURRENT_USER.
inline constexpr wchar_t kStoreKey[] = L"Software\\Morvask\\Quelb";

// A value's registry type and, for a string, its text.
struct StoredValue
{
    DWORD type = REG_NONE;
    QString text;
};

// The value `name` under kStoreKey\key.
inline StoredValue readStored(const wchar_t *key, const wchar_t *name)
{
    const std::wstring path = std::wstring(kStoreKey) + L"\\" + key;
    StoredValue value;
    wchar_t data[128] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type,
                     data, &size) == ERROR_SUCCESS &&
        value.type == REG_SZ)
        value.text = QString::fromWCharArray(data);
    return value;
}

} // namespace pulvane::test
