// seEdt_SogliaProssimita: a one-line numeric field with up/down arrows.
#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;

namespace pulvane::ui {

// The value a spin-edit text denotes: a decimal integer with an optional
// leading sign, not clamped; anything else (empty included) reads as 0.
int spinValueFromText(const QString &text);

class SpinEdit : public QWidget
{
    Q_OBJECT
public:
    explicit SpinEdit(QWidget *parent = nullptr);

    int minimum() const { return 0; }
    int maximum() const { return 10; }
    // The value as the text reads now (spinValueFromText).
    int value() const;
    QString text() const;
    void setText(const QString &text);
    QLineEdit *lineEdit() const { return m_edit; }

protected:
    QLineEdit *m_edit = nullptr;
};

} // namespace pulvane::ui
