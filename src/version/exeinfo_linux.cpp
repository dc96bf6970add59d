// The version block in the program's own ELF file, section .pulvane_version
// (written there by versionsection.cpp.in).
#include "elfsection.h"
#include "exeinfo.h"
#include "versionblock.h"

#include <cstdint>

namespace pulvane::version {

namespace {

constexpr char kSectionName[] = ".pulvane_version";

} // namespace

QString programFilePath()
{
    // Needs no QCoreApplication and still names the file after a rename.
    return QStringLiteral("/proc/self/exe");
}

std::optional<QString> readVersionText(const QString &programFile)
{
    const std::optional<QByteArray> section = elfSection(programFile, kSectionName);
    if (!section)
        return std::nullopt;
    const std::optional<block::Entry> root = block::parse(
        reinterpret_cast<const std::uint8_t *>(section->constData()), std::size_t(section->size()));
    if (!root)
        return std::nullopt;
    const std::optional<std::u16string> text = block::fileVersion(*root);
    return text ? QString::fromStdU16String(*text) : QString();
}

} // namespace pulvane::version
