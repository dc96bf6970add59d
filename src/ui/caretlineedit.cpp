#include "caretlineedit.h"

#include "heldrepaints.h"
#include "plainascii.h"

#include <QBackingStore>
#include <QInputMethodEvent>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOptionFrame>
#include <QTimerEvent>
#include <QWindow>


namespace pulvane::ui {

namespace {

// Fusion, passing everything on but the frame of a CaretLineEdit painting
// its interior only.
class InteriorStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget) const override
    {
        if (element == PE_FrameLineEdit) {
            const auto *edit = dynamic_cast<const CaretLineEdit *>(widget);
            if (edit && edit->paintingInterior())
                return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

} // namespace

CaretLineEdit::CaretLineEdit(QWidget *parent) : QLineEdit(parent)
{
    // QLineEdit's text control blinks the caret with its own timer and asks
    // for a repaint with its updateNeeded signal.
    for (QObject *child : children()) {
        if (child->inherits("QWidgetLineControl") &&
            child->metaObject()->indexOfSignal("updateNeeded(QRect)") >= 0) {
            m_control = child;
            connect(child, SIGNAL(updateNeeded(QRect)), this, SLOT(noteControlUpdate(QRect)));
            child->installEventFilter(this);
            break;
        }
    }

    // The footprint above is Fusion's; another style keeps its own drawing.
    if (style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0)
        return;
    QStyle *fusion = QStyleFactory::create(style()->name());
    if (!fusion)
        return;
    auto *proxy = new InteriorStyle(fusion);
    proxy->setParent(this);
    setStyle(proxy);
}

CaretLineEdit::~CaretLineEdit() = default;

bool CaretLineEdit::event(QEvent *event)
{
    m_caret.reset();
    if (event->type() == QEvent::InputMethod)
        m_preedit = !static_cast<QInputMethodEvent *>(event)->preeditString().isEmpty();
    return QLineEdit::event(event);
}

void CaretLineEdit::noteControlUpdate(const QRect &rect)
{
    ++m_controlUpdates;
    m_controlUpdate = rect;
}

// QLineEdit draws the caret (so a blink changes it) when it has the focus,
// is editable without an input mask, shows its text as it is, and has no
// selection or uncommitted input.
bool CaretLineEdit::blinkMayInvert() const
{
    return m_control && isVisible() && updatesEnabled() && hasFocus() && !isReadOnly() &&
           inputMask().isEmpty() && echoMode() == QLineEdit::Normal && !hasSelectedText() &&
           !m_preedit && layoutDirection() == Qt::LeftToRight && !graphicsEffect() &&
           plainAscii(displayText());
}

bool CaretLineEdit::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_control || event->type() != QEvent::Timer || !blinkMayInvert())
        return QLineEdit::eventFilter(watched, event);
    // The control handles the timer here, its repaint held back: a blink
    // asks for exactly one, of the caret's rectangle, and changes neither the
    // text nor the cursor.
    const QString text = displayText();
    const int cursor = cursorPosition();
    m_controlUpdates = 0;
    holdRepaints(*this, true);
    watched->event(event);
    holdRepaints(*this, false);
    const bool blink = m_controlUpdates == 1 && !m_controlUpdate.isEmpty() &&
                       m_controlUpdate.y() == 0 && displayText() == text &&
                       cursorPosition() == cursor;
    if (m_controlUpdates > 0 && !(blink && invertCaret()))
        update();
    return true;
}

// The caret as QLineEdit drew it: cursorRect() is the control's caret
// rectangle (five pixels either side of the rounded caret position, nine more
// than the caret's width) where QLineEdit last painted the line, and the text
// is clipped to its style's contents rectangle less the text margins.
const CaretLineEdit::Caret *CaretLineEdit::caret()
{
    const QString text = displayText();
    const int cursor = cursorPosition();
    if (m_caret && m_caret->text == text && m_caret->cursor == cursor)
        return &*m_caret;
    m_caret.reset();
    // The control's layout of the text: the display text in the edit's font,
    // one line, trailing spaces included.
    if (!m_layout || m_layout->text() != text || m_layout->font() != font()) {
        m_layout = std::make_unique<QTextLayout>(text, font());
        QTextOption option = m_layout->textOption();
        option.setTextDirection(Qt::LeftToRight);
        option.setFlags(QTextOption::IncludeTrailingSpaces);
        m_layout->setTextOption(option);
        m_layout->beginLayout();
        m_layout->createLine();
        m_layout->endLayout();
    }
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect clip = style()
                           ->subElementRect(QStyle::SE_LineEditContents, &option, this)
                           .marginsRemoved(textMargins());
    const QRect around = cursorRect();
    const QRect area = around & clip;
    const int width = around.width() - 9;
    if (width <= 0 || area.isEmpty())
        return nullptr;
    const QPointF lineOrigin(around.x() + 5 - qRound(m_layout->lineAt(0).cursorToX(cursor)),
                             around.y());
    m_caret = Caret{text, cursor, lineOrigin, width, clip, area};
    return &*m_caret;
}

// Inverts the caret's pixels where QLineEdit draws it, in the backing store
// of the window, and shows them. False when the backing store cannot be
// drawn on this way (the blink is then repainted).
bool CaretLineEdit::invertCaret()
{
    QWidget *top = window();
    QWindow *handle = top->windowHandle();
    QBackingStore *store = top->backingStore();
    if (!handle || !handle->isExposed() || !store)
        return false;
    // The backing store of a window with alpha is cleared where it is
    // painted; at another scale a caret's edge may be blended rather than
    // inverted.
    auto *image = dynamic_cast<QImage *>(store->paintDevice());
    if (!image || handle->format().hasAlpha() || image->devicePixelRatio() != 1.0 ||
        !image->paintEngine() || !image->paintEngine()->hasFeature(QPaintEngine::RasterOpModes))
        return false;
    const Caret *at = caret();
    if (!at)
        return false;

    const QPoint offset = mapTo(top, QPoint());
    const QRect shown = at->area.translated(offset);
    store->beginPaint(shown);
    {
        QPainter painter(image);
        painter.translate(offset);
        painter.setClipRect(at->clip);
        m_layout->drawCursor(&painter, at->lineOrigin, at->cursor, at->width);
    }
    store->endPaint();
    store->flush(shown, handle);
    ++m_invertedBlinks;
    return true;
}

void CaretLineEdit::paintEvent(QPaintEvent *event)
{
    m_caret.reset();
    m_interiorOnly = frameInterior().contains(event->region().boundingRect());
    QLineEdit::paintEvent(event);
    m_interiorOnly = false;
}

} // namespace pulvane::ui
