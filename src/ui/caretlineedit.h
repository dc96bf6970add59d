// The line edit of a spin field: a QLineEdit whose caret blinks cheaply.
//
// Twice a second QLineEdit repaints a small rectangle around its caret: its
// parents' background, its panel and frame, the text in it and, every other
// time, the caret. That is most of what the focused window costs while it
// only shows new log lines. Two things make a blink cheap here:
//
// - Under Fusion, a paint whose region lies wholly inside the frame's
//   footprint skips the frame (Fusion strokes it as antialiased rounded
//   rectangles, though none of its pixels lie there).
// - QLineEdit draws its caret by inverting the pixels under it. A blink that
//   changes nothing but the caret is therefore the same inversion again:
//   this edit inverts the caret's pixels in the window's backing store and
//   shows them, instead of the repaint. It does so only when nothing else
//   can have changed (the blink timer's own step, text and cursor as they
//   were, no selection, plain left-to-right ASCII text, an opaque backing
//   store at one pixel per point); any other blink repaints as QLineEdit
//   does.
#pragma once

#include <QLineEdit>
#include <QPointF>
#include <QRect>
#include <QString>
#include <QTextLayout>

#include <memory>
#include <optional>

namespace pulvane::ui {

class CaretLineEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit CaretLineEdit(QWidget *parent = nullptr);
    ~CaretLineEdit() override;

    // Inside this rectangle Fusion's line-edit frame draws no pixel: the
    // outline (the outermost ring), the focus highlight (the ring inside it,
    // with corners of radius 1.7 reaching the third pixel diagonally) and the
    // shadow line under the top edge all lie within three pixels of an edge.
    QRect frameInterior() const { return rect().adjusted(3, 3, -3, -3); }

    // Whether the paint under way needs no frame.
    bool paintingInterior() const { return m_interiorOnly; }

    // Blinks shown by inverting the caret rather than by a repaint.
    qint64 invertedBlinks() const { return m_invertedBlinks; }

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private slots:
    void noteControlUpdate(const QRect &rect);

private:
    // Where QLineEdit draws the caret, as it last painted the text.
    struct Caret
    {
        QString text;
        int cursor = 0;
        QPointF lineOrigin; // of the text line, as QLineEdit draws it
        int width = 0;
        QRect clip;         // QLineEdit's clip for its text
        QRect area;         // the caret's rectangle within the clip
    };

    bool blinkMayInvert() const;
    bool invertCaret();
    const Caret *caret();

    bool m_interiorOnly = false;
    // QLineEdit's text control, whose timer blinks the caret.
    QObject *m_control = nullptr;
    // Repaints the control asked for while it handled a timer event.
    int m_controlUpdates = 0;
    QRect m_controlUpdate;
    // An input method's uncommitted text is shown in the field.
    bool m_preedit = false;
    qint64 m_invertedBlinks = 0;
    // The text as QLineEdit lays it out, for where its caret goes; kept
    // until the edit paints or receives an event.
    std::unique_ptr<QTextLayout> m_layout;
    std::optional<Caret> m_caret;
};

} // namespace pulvane::ui
