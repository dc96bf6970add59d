// pulvane-diagnostics.exe, behind the Start-menu entry "Pulvane diagnostics":
// opens the file where Pulvane keeps why a stick could not be used, the one
// of the user who clicks it, in the program Windows opens .log files with. A
// user for whom nothing has been written yet gets the file made empty, so
// the entry never ends in an error. No window of its own and no console.
#include "messagelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <string>

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

namespace {

bool opened(HINSTANCE result)
{
    // ShellExecuteW's success is any value above 32.
    return reinterpret_cast<INT_PTR>(result) > 32;
}

} // namespace

int main()
{
    const QString path = pulvane::ant::stickDiagnosticsFile();
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    // Appending keeps every line already there.
    const bool exists = !path.isEmpty() && file.open(QIODevice::WriteOnly | QIODevice::Append);
    file.close();
    if (exists) {
        // The program that opens .log files may be reached through COM.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        if (opened(
                ShellExecuteW(nullptr, L"open", native.c_str(), nullptr, nullptr, SW_SHOWNORMAL)))
            return 0;
        // No program is set for .log files: Notepad comes with Windows.
        const std::wstring quoted = L"\"" + native + L"\"";
        if (opened(ShellExecuteW(nullptr, L"open", L"notepad.exe", quoted.c_str(), nullptr,
                                 SW_SHOWNORMAL)))
            return 0;
    }
    const std::wstring text =
        L"Pulvane's diagnostics file could not be opened:\n" +
        (native.empty() ? std::wstring(L"no local application data folder") : native);
    MessageBoxW(nullptr, text.c_str(), L"Pulvane diagnostics", MB_OK | MB_ICONWARNING);
    return 1;
}
