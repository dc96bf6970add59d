// The version resource of the program file, through the system's own lookup.
#include "exeinfo.h"
#include "versionblock.h"

#include <QCoreApplication>
#include <QDir>
#include <qt_windows.h>
#include <vector>
#include <winver.h>

namespace pulvane::version {

QString programFilePath()
{
    return QCoreApplication::applicationFilePath();
}

std::optional<QString> readVersionText(const QString &programFile)
{
    const std::wstring path = QDir::toNativeSeparators(programFile).toStdWString();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return std::nullopt;
    std::vector<char> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
        return std::nullopt;

    void *pairs = nullptr;
    UINT pairsSize = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &pairs, &pairsSize) ||
        pairsSize < 4)
        return QString();
    const auto *words = static_cast<const WORD *>(pairs);
    const std::u16string key =
        u"\\" + block::fileVersionKey(block::Translation{words[0], words[1]});
    void *text = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), reinterpret_cast<const wchar_t *>(key.c_str()), &text,
                        &length) ||
        text == nullptr)
        return QString();
    return QString::fromWCharArray(static_cast<const wchar_t *>(text));
}

} // namespace pulvane::version
