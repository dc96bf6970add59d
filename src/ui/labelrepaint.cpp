#include "labelrepaint.h"

#include "heldrepaints.h"
#include "plainascii.h"

#include <QFontMetricsF>
#include <QLabel>
#include <QStyle>

#include <algorithm>
#include <cmath>

namespace pulvane::ui {

namespace {

// A label that QLabel draws as one line of plain text from the top left of
// its rectangle, with no frame, margin or indent and no text control.
bool drawsPlainLineAtTopLeft(const QLabel &label)
{
    const Qt::Alignment where =
        label.alignment() & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask);
    const bool plain = label.textFormat() == Qt::PlainText ||
                       (label.textFormat() == Qt::AutoText && !Qt::mightBeRichText(label.text()));
    const auto selectable = Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard;
    return where == (Qt::AlignLeft | Qt::AlignTop) && !label.wordWrap() && plain &&
           !(label.textInteractionFlags() & selectable) && label.frameWidth() == 0 &&
           label.margin() == 0 && label.indent() <= 0 && !label.buddy() &&
           label.pixmap().isNull() && !label.style()->inherits("QStyleSheetStyle");
}

// Kept texts are forgotten together beyond this many.
constexpr qsizetype kMaxOrigins = 4096;

} // namespace

void LabelRepaint::useFontOf(const QLabel &label)
{
    if (m_font == label.font() && label.logicalDpiY() == m_dpi)
        return;
    m_font = label.font();
    m_dpi = label.logicalDpiY();
    m_reach = std::min<qreal>(0, QFontMetricsF(label.font(), &label).minLeftBearing());
    m_origins.clear();
}

// Where the character at index starts when the whole text is laid out
// (kerning with the character before it included).
qreal LabelRepaint::origin(const QLabel &label, const QString &text, qsizetype index)
{
    const QString key = text + QChar(0) + QString::number(index);
    if (const auto kept = m_origins.constFind(key); kept != m_origins.cend())
        return *kept;
    if (m_origins.size() >= kMaxOrigins)
        m_origins.clear();
    const qreal x = QFontMetricsF(label.font(), &label).horizontalAdvance(text, int(index));
    m_origins.insert(key, x);
    return x;
}

QRect LabelRepaint::changedRect(const QLabel &label, const QString &before, const QString &after)
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
    // Where the first changed character starts in either text, less the
    // farthest that a glyph of the font reaches left of its origin, less one
    // pixel that an antialiased or hinted edge may take beyond it.
    useFontOf(label);
    const qreal start = std::min(origin(label, before, common), origin(label, after, common));
    const int left = label.contentsRect().left() + int(std::floor(start + m_reach)) - 1;
    if (left <= 0)
        return {};
    return QRect(left, 0, label.width() - left, label.height());
}

void LabelRepaint::setText(QLabel &label, const QString &text)
{
    if (text == label.text())
        return; // QLabel repaints nothing either
    const QRect changed = changedRect(label, label.text(), text);
    if (changed.isNull() || !label.updatesEnabled()) {
        label.setText(text);
        return;
    }
    holdRepaints(label, true);
    label.setText(text);
    holdRepaints(label, false);
    label.update(changed);
}

} // namespace pulvane::ui
