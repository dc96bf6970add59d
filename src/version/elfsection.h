// Reading one named section out of an ELF file, where the program keeps its
// version block on systems without version resources.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace pulvane::version {

// A version block cannot be longer than its 16-bit length field says; longer
// sections are refused.
inline constexpr quint64 kMaxSectionSize = 0xFFFF;

// The contents of the named section of an ELF file (32 or 64-bit, either byte
// order); nothing when the file is not ELF, is malformed, has no such section
// or one longer than kMaxSectionSize. The file is assumed hostile: every
// offset and count it gives is checked before use.
std::optional<QByteArray> elfSection(const QString &path, const QByteArray &name);

} // namespace pulvane::version
