#include "versionblock.h"

namespace pulvane::version::block {

namespace {

// Deeper than VS_VERSION_INFO → StringFileInfo → table → string needs.
constexpr int kMaxDepth = 8;
constexpr std::size_t kHeaderSize = 6;

struct Reader
{
    const std::uint8_t *data;

    std::uint16_t word(std::size_t offset) const
    {
        return static_cast<std::uint16_t>(data[offset] | (data[offset + 1] << 8));
    }
};

constexpr std::size_t alignTo32Bits(std::size_t offset)
{
    return (offset + 3) & ~std::size_t{3};
}

// Parses the entry at offset, which must end by end. On success next is where
// the entry ends.
std::optional<Entry> parseEntry(const Reader &in, std::size_t offset, std::size_t end, int depth,
                                std::size_t &next)
{
    if (depth > kMaxDepth || offset > end || end - offset < kHeaderSize)
        return std::nullopt;
    const std::size_t length = in.word(offset);
    if (length < kHeaderSize || length > end - offset)
        return std::nullopt;
    const std::size_t entryEnd = offset + length;
    const std::uint16_t valueLength = in.word(offset + 2);
    const std::uint16_t type = in.word(offset + 4);
    if (type > 1)
        return std::nullopt;

    Entry entry;
    entry.text = type == 1;
    std::size_t pos = offset + kHeaderSize;
    for (;;) {
        if (entryEnd - pos < 2)
            return std::nullopt;
        const char16_t c = in.word(pos);
        pos += 2;
        if (c == 0)
            break;
        entry.key.push_back(c);
    }

    pos = alignTo32Bits(pos);
    const std::size_t valueBytes = entry.text ? std::size_t{valueLength} * 2 : valueLength;
    if (pos > entryEnd || valueBytes > entryEnd - pos)
        return std::nullopt;
    entry.value.assign(in.data + pos, in.data + pos + valueBytes);

    // What is left after the last child is padding, shorter than any entry.
    pos = alignTo32Bits(pos + valueBytes);
    while (pos < entryEnd && entryEnd - pos >= kHeaderSize) {
        std::size_t childEnd = 0;
        std::optional<Entry> child = parseEntry(in, pos, entryEnd, depth + 1, childEnd);
        if (!child)
            return std::nullopt;
        entry.children.push_back(std::move(*child));
        pos = alignTo32Bits(childEnd);
    }
    next = entryEnd;
    return entry;
}

bool sameKey(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

} // namespace

std::optional<Entry> parse(const std::uint8_t *data, std::size_t size)
{
    if (data == nullptr)
        return std::nullopt;
    std::size_t end = 0;
    std::optional<Entry> root = parseEntry(Reader{data}, 0, size, 0, end);
    if (!root || root->key != u"VS_VERSION_INFO")
        return std::nullopt;
    return root;
}

const Entry *find(const Entry &root, std::u16string_view path)
{
    const Entry *current = &root;
    while (!path.empty()) {
        const std::size_t split = path.find(u'\\');
        const std::u16string_view key = path.substr(0, split);
        path = split == std::u16string_view::npos ? std::u16string_view{} : path.substr(split + 1);
        if (key.empty())
            continue;
        const Entry *match = nullptr;
        for (const Entry &child : current->children) {
            if (sameKey(child.key, key)) {
                match = &child;
                break;
            }
        }
        if (match == nullptr)
            return nullptr;
        current = match;
    }
    return current;
}

std::optional<std::u16string> fileVersion(const Entry &root)
{
    const Entry *translations = find(root, u"VarFileInfo\\Translation");
    if (translations == nullptr || translations->value.size() < 4)
        return std::nullopt;
    const std::vector<std::uint8_t> &pair = translations->value;
    const Translation first{static_cast<std::uint16_t>(pair[0] | (pair[1] << 8)),
                            static_cast<std::uint16_t>(pair[2] | (pair[3] << 8))};

    const Entry *string = find(root, fileVersionKey(first));
    if (string == nullptr)
        return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < string->value.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(string->value[i] | (string->value[i + 1] << 8));
        if (c == 0)
            break;
        text.push_back(c);
    }
    return text;
}

} // namespace pulvane::version::block
