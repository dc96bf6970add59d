// The flat, self-painted command button used for START, STOP and SAVE TO PC.
#pragma once

#include <QAbstractButton>

namespace pulvane::ui {

class ColouredButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit ColouredButton(const QString &caption, QWidget *parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace pulvane::ui
