// The version block: the layout of the Windows version resource (VS_VERSIONINFO),
// which the program carries in its own file on every system. Each entry is
//   WORD length        the entry with its children, in bytes
//   WORD valueLength   in characters for a text value, in bytes otherwise
//   WORD type          1: the value is UTF-16 text, 0: binary
//   key                UTF-16, NUL-terminated, then padding to 32 bits
//   value              then padding to 32 bits
//   children           each starting on a 32-bit boundary
// Everything is little-endian. Building is constexpr so that the compiler lays
// out the program's own block from the project version.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pulvane::version::block {

struct Entry
{
    std::u16string key;
    bool text = false;
    std::vector<std::uint8_t> value;
    std::vector<Entry> children;
};

struct Translation
{
    std::uint16_t language = 0;
    std::uint16_t codePage = 0;
};

struct StringTable
{
    Translation translation;
    std::vector<std::pair<std::u16string, std::u16string>> strings;
};

namespace detail {

constexpr void putWord(std::vector<std::uint8_t> &out, std::uint32_t word)
{
    out.push_back(static_cast<std::uint8_t>(word & 0xFF));
    out.push_back(static_cast<std::uint8_t>((word >> 8) & 0xFF));
}

constexpr void putDword(std::vector<std::uint8_t> &out, std::uint32_t dword)
{
    putWord(out, dword & 0xFFFF);
    putWord(out, dword >> 16);
}

constexpr void padTo32Bits(std::vector<std::uint8_t> &out)
{
    while (out.size() % 4 != 0)
        out.push_back(0);
}

constexpr void append(std::vector<std::uint8_t> &out, const Entry &entry)
{
    padTo32Bits(out);
    const std::size_t start = out.size();
    putWord(out, 0); // the length, known once the children are in
    putWord(out, entry.text ? entry.value.size() / 2 : entry.value.size());
    putWord(out, entry.text ? 1 : 0);
    for (const char16_t c : entry.key)
        putWord(out, c);
    putWord(out, 0);
    padTo32Bits(out);
    out.insert(out.end(), entry.value.begin(), entry.value.end());
    for (const Entry &child : entry.children)
        append(out, child);
    const std::size_t length = out.size() - start;
    out[start] = static_cast<std::uint8_t>(length & 0xFF);
    out[start + 1] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
}

constexpr std::u16string hex4(std::uint16_t value)
{
    constexpr char16_t digits[] = u"0123456789ABCDEF";
    std::u16string text;
    for (int shift = 12; shift >= 0; shift -= 4)
        text.push_back(digits[(value >> shift) & 0xF]);
    return text;
}

} // namespace detail

// A NUL-terminated UTF-16 value, as text entries store their strings.
constexpr std::vector<std::uint8_t> textValue(std::u16string_view text)
{
    std::vector<std::uint8_t> value;
    for (const char16_t c : text)
        detail::putWord(value, c);
    detail::putWord(value, 0);
    return value;
}

// The bytes of a block whose outermost entry is root.
constexpr std::vector<std::uint8_t> serialise(const Entry &root)
{
    std::vector<std::uint8_t> out;
    detail::append(out, root);
    return out;
}

// Language and code page as the string tables name them: eight upper-case hex digits.
constexpr std::u16string tableKey(Translation translation)
{
    return detail::hex4(translation.language) + detail::hex4(translation.codePage);
}

// The path of the "FileVersion" string for one language and code-page pair.
constexpr std::u16string fileVersionKey(Translation translation)
{
    return u"StringFileInfo\\" + tableKey(translation) + u"\\FileVersion";
}

// A complete VS_VERSION_INFO: the fixed information for the four version numbers,
// one string table per entry of tables and, when translations is not empty, the
// translation table in the given order.
constexpr Entry versionInfo(std::array<std::uint16_t, 4> version,
                            const std::vector<StringTable> &tables,
                            const std::vector<Translation> &translations)
{
    using namespace detail;
    Entry root{u"VS_VERSION_INFO", false, {}, {}};
    // VS_FIXEDFILEINFO
    const std::uint32_t high = (std::uint32_t{version[0]} << 16) | version[1];
    const std::uint32_t low = (std::uint32_t{version[2]} << 16) | version[3];
    putDword(root.value, 0xFEEF04BD); // signature
    putDword(root.value, 0x00010000); // structure version 1.0
    putDword(root.value, high);       // file version
    putDword(root.value, low);
    putDword(root.value, high); // product version
    putDword(root.value, low);
    putDword(root.value, 0x3F); // flags mask
    putDword(root.value, 0);    // flags
    putDword(root.value, 0);    // operating system: not a Windows one
    putDword(root.value, 1);    // file type: application
    putDword(root.value, 0);    // subtype
    putDword(root.value, 0);    // date, high
    putDword(root.value, 0);    // date, low

    Entry stringFileInfo{u"StringFileInfo", true, {}, {}};
    for (const StringTable &table : tables) {
        Entry tableEntry{tableKey(table.translation), true, {}, {}};
        for (const auto &[name, text] : table.strings)
            tableEntry.children.push_back(Entry{name, true, textValue(text), {}});
        stringFileInfo.children.push_back(std::move(tableEntry));
    }
    root.children.push_back(std::move(stringFileInfo));

    if (!translations.empty()) {
        Entry translation{u"Translation", false, {}, {}};
        for (const Translation &pair : translations) {
            putWord(translation.value, pair.language);
            putWord(translation.value, pair.codePage);
        }
        root.children.push_back(Entry{u"VarFileInfo", true, {}, {std::move(translation)}});
    }
    return root;
}

// Reads a block back. Anything that does not hold together (lengths past the
// end, a key without its terminator, nesting deeper than a version block has,
// an outermost entry other than VS_VERSION_INFO) gives nothing.
std::optional<Entry> parse(const std::uint8_t *data, std::size_t size);

// The entry under a backslash-separated path of keys below root. Keys compare
// without regard to ASCII case, as the Windows lookup does.
const Entry *find(const Entry &root, std::u16string_view path);

// The "FileVersion" string of the first language and code-page pair of the
// translation table, up to its terminator; nothing when the block has no
// translation table or no such string.
std::optional<std::u16string> fileVersion(const Entry &root);

} // namespace pulvane::version::block
