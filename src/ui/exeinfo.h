// ExeInfo1: the version text of a program file, read from the version block
// carried in the file itself (an ELF section on Linux, the version resource
// on Windows).
#pragma once

#include <QString>

namespace pulvane::ui {

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

} // namespace pulvane::ui
