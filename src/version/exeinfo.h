// ExeInfo1: the version text of a program file, read from the version block
// carried in the file itself (an ELF section on Linux, the version resource
// on Windows).
#pragma once

#include <QString>
#include <optional>

namespace pulvane::version {

inline constexpr const char *kVersionPlaceholder = "Updated at run-time";

class ExeInfo
{
public:
    // Reads the running program's own file.
    ExeInfo();
    explicit ExeInfo(const QString &programFile);

    // "FileVersion" of the first language/code-page pair; the placeholder when
    // the file carries no version block, empty when the string is missing.
    QString versionText() const { return m_versionText; }

private:
    QString m_versionText;
};

// The platform's lookup (exeinfo_linux.cpp, exeinfo_win.cpp).
//
// The file the running program was started from.
QString programFilePath();
// The "FileVersion" of the first language and code-page pair: nothing when
// the file carries no version block, an empty text when the block has no
// such string.
std::optional<QString> readVersionText(const QString &programFile);

} // namespace pulvane::version
