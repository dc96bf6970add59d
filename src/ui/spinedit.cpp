#include "spinedit.h"

#include <QHBoxLayout>
#include <QLineEdit>

namespace pulvane::ui {

int spinValueFromText(const QString &text)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    return ok ? v : 0;
}

SpinEdit::SpinEdit(QWidget *parent) : QWidget(parent), m_edit(new QLineEdit(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_edit);
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

} // namespace pulvane::ui
