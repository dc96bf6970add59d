#include "labelrepaint.h"

#include <QFontMetricsF>
#include <QLabel>
#include <QStyle>

#include <algorithm>
#include <cmath>

namespace pulvane::ui {

namespace {

// Printable ASCII only: no right-to-left text, no combining marks drawn over
// the character before them, no tabs, nothing QLabel takes for a mnemonic
// without a buddy.
bool plainAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; });
}

// A label that QLabel draws as one line of plain text from the top left of
// its rectangle, with no frame, margin or indent and no text control.
bool drawsPlainLineAtTopLeft(const QLabel &label)
{
    const Qt::Alignment where = label.alignment() & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask);
    const bool plain = label.textFormat() == Qt::PlainText ||
                       (label.textFormat() == Qt::AutoText && !Qt::mightBeRichText(label.text()));
    const auto selectable = Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard;
    return where == (Qt::AlignLeft | Qt::AlignTop) && !label.wordWrap() && plain &&
           !(label.textInteractionFlags() & selectable) && label.frameWidth() == 0 &&
           label.margin() == 0 && label.indent() <= 0 && !label.buddy() &&
           label.pixmap().isNull() && !label.style()->inherits("QStyleSheetStyle");
}

} // namespace

QRect changedTextRect(const QLabel &label, const QString &before, const QString &after)
{
    if (!drawsPlainLineAtTopLeft(label) || !plainAscii(before) || !plainAscii(after) ||
        Qt::mightBeRichText(after))
        return {};
    qsizetype common = 0;
    while (common < before.size() && common < after.size() && before[common] == after[common])
        ++common;
    // The font may join letters into one glyph (fi, fl, ffi): the change is
    // taken from the start of the word it falls in.
    while (common > 0 && before[common - 1].isLetter())
        --common;
    if (common == 0)
        return {};
    // Where the first changed character starts in either text, as the text is
    // laid out whole (kerning with the character before it included), less
    // the farthest that a glyph of the font reaches left of its origin, less
    // one pixel that an antialiased or hinted edge may take beyond it.
    const QFontMetricsF metrics(label.font(), &label);
    const qreal origin = std::min(metrics.horizontalAdvance(before, int(common)),
                                  metrics.horizontalAdvance(after, int(common)));
    const qreal reach = std::min<qreal>(0, metrics.minLeftBearing());
    const int left = label.contentsRect().left() + int(std::floor(origin + reach)) - 1;
    if (left <= 0)
        return {};
    return QRect(left, 0, label.width() - left, label.height());
}

void setLabelText(QLabel &label, const QString &text)
{
    if (text == label.text())
        return; // QLabel repaints nothing either
    const QRect changed = changedTextRect(label, label.text(), text);
    if (changed.isNull() || !label.updatesEnabled()) {
        label.setText(text);
        return;
    }
    // While set, QLabel's own update() does nothing; clearing it asks for no
    // repaint either (setUpdatesEnabled() would repaint the whole label).
    label.setAttribute(Qt::WA_UpdatesDisabled, true);
    label.setText(text);
    label.setAttribute(Qt::WA_UpdatesDisabled, false);
    label.update(changed);
}

} // namespace pulvane::ui
