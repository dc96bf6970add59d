// Text that Qt lays out simply: printable ASCII only, so no right-to-left
// text, no combining marks drawn over the character before them, no tabs or
// control characters, and one font for all of it.
#pragma once

#include <QString>

#include <algorithm>

namespace pulvane::ui {

inline bool plainAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; });
}

} // namespace pulvane::ui
