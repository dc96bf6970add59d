#include "caretlineedit.h"

#include <QPaintEvent>
#include <QProxyStyle>
#include <QStyleFactory>

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

void CaretLineEdit::paintEvent(QPaintEvent *event)
{
    m_interiorOnly = frameInterior().contains(event->region().boundingRect());
    QLineEdit::paintEvent(event);
    m_interiorOnly = false;
}

} // namespace pulvane::ui
