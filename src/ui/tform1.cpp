#include "tform1.h"

#include "colouredbutton.h"
#include "formlayout.h"
#include "spinedit.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QThread>
#include <QTimer>

namespace pulvane {

namespace {

using namespace ui::layout;

// The hint texts are shown to users as they have always read them, grammar
// and all; leave them as they are.
const QString kProximityHint =
    QStringLiteral("This value adjust the receiving range of the program. "
                   "If more transmitters are present, reduce the sensibility to detect only "
                   "the closer transmitters.");
const QString kProximityHintTwoLines =
    QStringLiteral("This value adjust the receiving range of the program. \r\n"
                   "If more transmitters are present, reduce the sensibility to detect only "
                   "the closer transmitters.");

// Of the faces named, those installed, in the order given; all of them when
// none is (the font then falls back as Qt chooses). Asking only for installed
// faces spares Qt a search through every face for each one that is missing.
QStringList installedFamilies(const QStringList &families)
{
    static const QStringList installed = QFontDatabase::families();
    QStringList found;
    for (const QString &family : families) {
        if (installed.contains(family, Qt::CaseInsensitive))
            found.append(family);
    }
    return found.isEmpty() ? families : found;
}

// The preferred faces come first so that they are used where installed; the
// Liberation faces have Arial's metrics and stand in for them elsewhere.
QFont layoutFont(const QStringList &families, int pixelSize, QFont::Weight weight)
{
    QFont font;
    font.setFamilies(installedFamilies(families));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont windowFont(int pixelSize, QFont::Weight weight)
{
    return layoutFont({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                       QStringLiteral("Liberation Sans"), QStringLiteral("Arial")},
                      pixelSize, weight);
}

QFont arialFont(int pixelSize, QFont::Weight weight)
{
    return layoutFont({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")}, pixelSize,
                      weight);
}

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, const QRect &rect)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(false);
    label->setGeometry(rect);
    label->setFixedSize(rect.size());
    return label;
}

// A caption keeps its place but takes the size of its text: the rectangle
// given is what the preferred face needs, and a stand-in face may be wider.
QLabel *makeCaption(QWidget *parent, const char *name, const QString &text, const QRect &rect)
{
    QLabel *label = makeLabel(parent, name, text, rect);
    label->setFixedSize(label->sizeHint());
    return label;
}

ui::ColouredButton *makeButton(QWidget *parent, const char *name, const QString &caption,
                               const QRect &rect, bool enabled)
{
    auto *button = new ui::ColouredButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setFont(windowFont(19, QFont::Bold));
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(rect);
    button->setEnabled(enabled);
    return button;
}

QTimer *makeTimer(QObject *parent, const char *name, int intervalMs)
{
    auto *timer = new QTimer(parent);
    timer->setObjectName(QLatin1String(name));
    timer->setInterval(intervalMs);
    // A coarse timer may fire 5% late: 200 ms on the ID timer, enough to miss
    // the broadcast that should carry the request and wait a channel period
    // more.
    timer->setTimerType(Qt::PreciseTimer);
    return timer;
}

} // namespace

TForm1::TForm1(ant::AntLibrary &ant, QWidget *parent) : QWidget(parent)
{
    createControls();
    m_log = std::make_unique<ui::EventLog>(*Memo1);
    m_finder = std::make_unique<Finder>(*this, ant);

    connect(Btn_Start1, &QAbstractButton::clicked, m_finder.get(), &Finder::Btn_Start1Click);
    connect(Btn_Stop, &QAbstractButton::clicked, m_finder.get(), &Finder::Btn_StopClick);
    connect(Btn_SaveToPC, &QAbstractButton::clicked, m_finder.get(), &Finder::Btn_SaveToPCClick);
    connect(tmr_RichiestaID, &QTimer::timeout, m_finder.get(), &Finder::tmr_RichiestaIDTimer);
    connect(tmr_Chiusura, &QTimer::timeout, this, &TForm1::tmr_ChiusuraTimer);

    m_finder->FormCreate(ExeInfo1.versionText());
}

TForm1::~TForm1()
{
    // The controls are still alive here: stopping the stick logs and touches
    // the buttons.
    m_finder->FormDestroy();
}

void TForm1::createControls()
{
    setObjectName(QStringLiteral("Form1"));
    resize(kClientSize);
    setFont(windowFont(11, QFont::Normal));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    lbl_HR = makeLabel(this, "lbl_HR", QStringLiteral("HR:"), kHeartRateLabel);
    lbl_HR->setFont(arialFont(37, QFont::Bold));
    lbl_DeviceNumber =
        makeLabel(this, "lbl_DeviceNumber", QStringLiteral("ID:"), kDeviceNumberLabel);
    lbl_DeviceNumber->setFont(arialFont(37, QFont::Bold));

    Btn_Start1 = makeButton(this, "Btn_Start1", QStringLiteral("START"), kStartButton, true);
    Btn_Stop = makeButton(this, "Btn_Stop", QStringLiteral("STOP"), kStopButton, false);
    Btn_SaveToPC =
        makeButton(this, "Btn_SaveToPC", QStringLiteral("SAVE TO PC"), kSaveButton, false);

    lbl1 = makeCaption(this, "lbl1", QStringLiteral("Sensibility:"), kSensibilityCaption);
    lbl1->setToolTip(kProximityHintTwoLines);

    seEdt_SogliaProssimita = new ui::SpinEdit(this);
    seEdt_SogliaProssimita->setObjectName(QStringLiteral("seEdt_SogliaProssimita"));
    seEdt_SogliaProssimita->setGeometry(kSensibilityEdit);
    seEdt_SogliaProssimita->setText(QStringLiteral("4"));
    seEdt_SogliaProssimita->setToolTip(kProximityHint);

    Label1 = makeCaption(this, "Label1", QStringLiteral("Log messages:"), kLogCaption);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(kLogPane);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab leaves the pane instead of typing a tab; only a click focuses it.
    Memo1->setTabChangesFocus(true);
    Memo1->setFocusPolicy(Qt::ClickFocus);

    tmr_RichiestaID = makeTimer(this, "tmr_RichiestaID", 4000);
    tmr_Chiusura = makeTimer(this, "tmr_Chiusura", 1000);
}

void TForm1::appendLine(const QString &line)
{
    m_log->appendLine(line);
}

void TForm1::appendSeparator()
{
    m_log->appendSeparator();
}

void TForm1::appendLineAndSeparator(const QString &line)
{
    m_log->appendLineAndSeparator(line);
}

void TForm1::setTitle(const QString &title)
{
    setWindowTitle(title);
}

void TForm1::setLabel(Label label, const QString &text)
{
    m_labelRepaint.setText(*(label == Label::HeartRate ? lbl_HR : lbl_DeviceNumber), text);
}

void TForm1::setButtonEnabled(Button button, bool enabled)
{
    switch (button) {
    case Button::Start:
        Btn_Start1->setEnabled(enabled);
        break;
    case Button::Stop:
        Btn_Stop->setEnabled(enabled);
        break;
    case Button::SaveToPC:
        Btn_SaveToPC->setEnabled(enabled);
        break;
    }
}

int TForm1::proximityValue() const
{
    return seEdt_SogliaProssimita->value();
}

void TForm1::enableIdTimer()
{
    if (!tmr_RichiestaID->isActive())
        tmr_RichiestaID->start();
}

void TForm1::disableIdTimer()
{
    tmr_RichiestaID->stop();
}

void TForm1::enableClosingTimer()
{
    if (!tmr_Chiusura->isActive())
        tmr_Chiusura->start();
}

void TForm1::showMessage(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Pulvane"), text, QMessageBox::Ok, this);
    box.exec();
}

void TForm1::waitMs(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
}

void TForm1::closeEvent(QCloseEvent *event)
{
    if (m_finder->FormClose())
        event->accept();
    else
        event->ignore();
}

void TForm1::resizeEvent(QResizeEvent *event)
{
    // Memo1 keeps its distance to all four sides; everything else stays put.
    const int right = kClientSize.width() - kLogPane.right() - 1;
    const int bottom = kClientSize.height() - kLogPane.bottom() - 1;
    Memo1->setGeometry(kLogPane.left(), kLogPane.top(), qMax(0, width() - kLogPane.left() - right),
                       qMax(0, height() - kLogPane.top() - bottom));
    QWidget::resizeEvent(event);
}

void TForm1::showEvent(QShowEvent *event)
{
    if (!m_placed) {
        m_placed = true;
        const QRect desktop = screen()->geometry();
        const QSize outer = frameGeometry().size();
        move(desktop.x() + (desktop.width() - outer.width()) / 2,
             desktop.y() + (desktop.height() - outer.height()) / 2);
    }
    QWidget::showEvent(event);
}

void TForm1::tmr_ChiusuraTimer()
{
    close();
}

} // namespace pulvane
