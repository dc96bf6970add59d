#include "elfsection.h"

#include <QByteArrayView>
#include <QFile>

namespace pulvane::version {

namespace {

constexpr char kElfMagic[4] = {'\x7F', 'E', 'L', 'F'};
constexpr quint32 kSectionTypeNoBits = 8;
constexpr quint16 kExtendedIndex = 0xFFFF;

// Bounds-checked reads of a file that is assumed hostile: every offset and
// count comes from the file itself.
class ElfReader
{
public:
    explicit ElfReader(QFile &file) : m_file(file), m_size(quint64(file.size())) {}

    bool read(quint64 offset, quint64 length, QByteArray &out)
    {
        if (offset > m_size || length > m_size - offset)
            return false;
        if (!m_file.seek(qint64(offset)))
            return false;
        out = m_file.read(qint64(length));
        return quint64(out.size()) == length;
    }

    void setBigEndian(bool big) { m_bigEndian = big; }

    quint64 number(const QByteArray &bytes, int offset, int width) const
    {
        quint64 value = 0;
        for (int i = 0; i < width; ++i) {
            const quint64 byte = quint8(bytes[offset + i]);
            value |= m_bigEndian ? byte << (8 * (width - 1 - i)) : byte << (8 * i);
        }
        return value;
    }

private:
    QFile &m_file;
    quint64 m_size;
    bool m_bigEndian = false;
};

struct SectionHeader
{
    quint32 name = 0;
    quint32 type = 0;
    quint64 offset = 0;
    quint64 size = 0;
    quint32 link = 0;
};

} // namespace

std::optional<QByteArray> elfSection(const QString &path, const QByteArray &name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    ElfReader in(file);

    QByteArray ident;
    if (!in.read(0, 16, ident) || !ident.startsWith(QByteArrayView(kElfMagic, 4)))
        return std::nullopt;
    const int elfClass = ident[4];
    const int byteOrder = ident[5];
    if ((elfClass != 1 && elfClass != 2) || (byteOrder != 1 && byteOrder != 2))
        return std::nullopt;
    const bool is64 = elfClass == 2;
    in.setBigEndian(byteOrder == 2);

    QByteArray header;
    if (!in.read(0, is64 ? 64 : 52, header))
        return std::nullopt;
    const quint64 tableOffset = is64 ? in.number(header, 0x28, 8) : in.number(header, 0x20, 4);
    const int base = is64 ? 0x3A : 0x2E;
    const quint64 entrySize = in.number(header, base, 2);
    quint64 count = in.number(header, base + 2, 2);
    quint64 namesIndex = in.number(header, base + 4, 2);
    const quint64 minEntrySize = is64 ? 64 : 40;
    if (tableOffset == 0 || tableOffset > quint64(file.size()) || entrySize < minEntrySize)
        return std::nullopt;

    const auto sectionHeader = [&](quint64 index) -> std::optional<SectionHeader> {
        QByteArray raw;
        if (index > (quint64(1) << 32) || !in.read(tableOffset + index * entrySize, entrySize, raw))
            return std::nullopt;
        SectionHeader s;
        s.name = quint32(in.number(raw, 0, 4));
        s.type = quint32(in.number(raw, 4, 4));
        s.offset = is64 ? in.number(raw, 0x18, 8) : in.number(raw, 0x10, 4);
        s.size = is64 ? in.number(raw, 0x20, 8) : in.number(raw, 0x14, 4);
        s.link = quint32(is64 ? in.number(raw, 0x28, 4) : in.number(raw, 0x18, 4));
        return s;
    };

    // Files with many sections keep the real count and name-table index in the
    // first section header.
    if (count == 0 || namesIndex == kExtendedIndex) {
        const std::optional<SectionHeader> first = sectionHeader(0);
        if (!first)
            return std::nullopt;
        if (count == 0)
            count = first->size;
        if (namesIndex == kExtendedIndex)
            namesIndex = first->link;
    }
    if (namesIndex >= count || count > quint64(file.size()) / entrySize)
        return std::nullopt;

    const std::optional<SectionHeader> names = sectionHeader(namesIndex);
    QByteArray nameTable;
    if (!names || names->type == kSectionTypeNoBits ||
        !in.read(names->offset, names->size, nameTable))
        return std::nullopt;

    for (quint64 i = 0; i < count; ++i) {
        const std::optional<SectionHeader> section = sectionHeader(i);
        if (!section)
            return std::nullopt;
        if (section->name >= quint64(nameTable.size()))
            continue;
        const qsizetype end = nameTable.indexOf('\0', section->name);
        if (end < 0 || nameTable.mid(section->name, end - section->name) != name)
            continue;
        QByteArray contents;
        if (section->type == kSectionTypeNoBits || section->size > kMaxSectionSize ||
            !in.read(section->offset, section->size, contents))
            return std::nullopt;
        return contents;
    }
    return std::nullopt;
}

} // namespace pulvane::version
