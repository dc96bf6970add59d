#include "spinedit.h"

#include "caretlineedit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QStyle>
#include <QToolButton>

#include <algorithm>
#include <limits>

namespace pulvane::ui {

namespace {

constexpr int kArrowWidth = 15;
// First repeat of a held arrow, then the pace of the following ones.
constexpr int kRepeatDelayMs = 400;
constexpr int kRepeatIntervalMs = 100;

QToolButton *makeArrow(Qt::ArrowType arrow, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoRepeat(true);
    button->setAutoRepeatDelay(kRepeatDelayMs);
    button->setAutoRepeatInterval(kRepeatIntervalMs);
    button->setCursor(Qt::ArrowCursor);
    return button;
}

} // namespace

int spinValueFromText(const QString &text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size())
        return 0;
    qint64 magnitude = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return 0;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > qint64(std::numeric_limits<int>::max()) + 1)
            return 0;
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int>::max())
        return 0;
    return int(value);
}

int spinStepped(int value, int delta, int min, int max)
{
    const qint64 stepped = qint64(value) + delta;
    return int(std::clamp<qint64>(stepped, min, max));
}

bool spinAcceptsTyped(const QString &typed, const QString &decimalPoint)
{
    if (!decimalPoint.isEmpty() && typed == decimalPoint)
        return true;
    for (const QChar c : typed) {
        const bool control = c.unicode() < 0x20 || c.unicode() == 0x7f;
        const bool enter = c == u'\r' || c == u'\n';
        const bool ok = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || decimalPoint == c ||
                        (control && !enter);
        if (!ok)
            return false;
    }
    return true;
}

SpinEdit::SpinEdit(QWidget *parent)
    : QWidget(parent), m_edit(new CaretLineEdit(this)), m_up(makeArrow(Qt::UpArrow, m_edit)),
      m_down(makeArrow(Qt::DownArrow, m_edit))
{
    m_edit->setText(QString::number(4));
    m_edit->setTextMargins(0, 0, kArrowWidth, 0);
    m_edit->installEventFilter(this);
    setFocusProxy(m_edit);

    connect(m_up, &QAbstractButton::clicked, this, [this] { stepBy(1); });
    connect(m_down, &QAbstractButton::clicked, this, [this] { stepBy(-1); });
    for (QAbstractButton *arrow : {m_up, m_down})
        connect(arrow, &QAbstractButton::pressed, this,
                [this] { m_edit->setFocus(Qt::MouseFocusReason); });
    connect(this, &SpinEdit::rejectedKey, this, &QApplication::beep);

    resize(41, 22);
}

int SpinEdit::value() const
{
    return spinValueFromText(m_edit->text());
}

QString SpinEdit::text() const
{
    return m_edit->text();
}

void SpinEdit::setText(const QString &text)
{
    m_edit->setText(text);
}

void SpinEdit::stepBy(int delta)
{
    m_edit->setText(QString::number(spinStepped(value(), delta, minimum(), maximum())));
}

QSize SpinEdit::sizeHint() const
{
    return {41, 22};
}

bool SpinEdit::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit) {
        if (event->type() == QEvent::KeyPress)
            return filterKey(static_cast<QKeyEvent *>(event));
        if (event->type() == QEvent::FocusOut) {
            // Only leaving for another control of the window corrects the
            // value; a message box, a menu or another application taking
            // the focus for a while leaves the text as typed.
            const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                clampToRange();
        }
    }
    return QWidget::eventFilter(watched, event);
}

// Returns true when the key is consumed here and must not reach the field.
bool SpinEdit::filterKey(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Up:
        stepBy(1);
        return true;
    case Qt::Key_Down:
        stepBy(-1);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit rejectedKey();
        return true;
    default:
        break;
    }
    // Editing shortcuts are not typing; paste in particular goes in unfiltered.
    for (const auto key : {QKeySequence::Paste, QKeySequence::Cut, QKeySequence::Copy,
                           QKeySequence::Undo, QKeySequence::Redo, QKeySequence::SelectAll}) {
        if (event->matches(key))
            return false;
    }
    const auto mods = event->modifiers();
    if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier))
        return false;
    if (event->text().isEmpty() || spinAcceptsTyped(event->text(), QLocale().decimalPoint()))
        return false;
    emit rejectedKey();
    return true;
}

void SpinEdit::clampToRange()
{
    const int v = value();
    if (v < minimum() || v > maximum())
        m_edit->setText(QString::number(std::clamp(v, minimum(), maximum())));
}

void SpinEdit::resizeEvent(QResizeEvent *)
{
    m_edit->setGeometry(rect());
    placeArrows();
}

// The arrows sit inside the field's frame against its right edge, up above down.
void SpinEdit::placeArrows()
{
    const int frame = m_edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, m_edit);
    const int inner = std::max(0, m_edit->height() - 2 * frame);
    const int upHeight = (inner + 1) / 2;
    const int x = m_edit->width() - frame - kArrowWidth;
    m_up->setGeometry(x, frame, kArrowWidth, upHeight);
    m_down->setGeometry(x, frame + upHeight, kArrowWidth, inner - upHeight);
}

} // namespace pulvane::ui
