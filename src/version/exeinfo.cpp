#include "exeinfo.h"

namespace pulvane::version {

ExeInfo::ExeInfo() : ExeInfo(programFilePath()) {}

ExeInfo::ExeInfo(const QString &programFile)
    : m_versionText(readVersionText(programFile).value_or(QString::fromLatin1(kVersionPlaceholder)))
{}

} // namespace pulvane::version
