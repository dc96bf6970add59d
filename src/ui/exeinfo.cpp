#include "exeinfo.h"

namespace pulvane::ui {

ExeInfo::ExeInfo() : m_versionText(QString::fromLatin1(kVersionPlaceholder)) {}

ExeInfo::ExeInfo(const QString &) : m_versionText(QString::fromLatin1(kVersionPlaceholder)) {}

} // namespace pulvane::ui
