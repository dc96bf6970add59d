// TForm1: the program's one window. It holds the controls and the two timers,
// shows what the finder tells it through FinderView, and forwards its
// buttons, timers, close and destruction to the finder.
#pragma once

#include "eventlog.h"
#include "exeinfo.h"
#include "finder.h"
#include "finderview.h"
#include "labelrepaint.h"

#include <QWidget>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QTimer;

namespace pulvane {

namespace ant {
class AntLibrary;
}

namespace ui {
class ColouredButton;
class SpinEdit;
} // namespace ui

class TForm1 : public QWidget, public FinderView
{
    Q_OBJECT
public:
    // ant must outlive the window: destruction may still stop the stick.
    explicit TForm1(ant::AntLibrary &ant, QWidget *parent = nullptr);
    ~TForm1() override;

    Finder &finder() { return *m_finder; }

    // FinderView
    void appendLine(const QString &line) override;
    void appendSeparator() override;
    void appendLineAndSeparator(const QString &line) override;
    void setTitle(const QString &title) override;
    void setLabel(Label label, const QString &text) override;
    void setButtonEnabled(Button button, bool enabled) override;
    int proximityValue() const override;
    void enableIdTimer() override;
    void disableIdTimer() override;
    void enableClosingTimer() override;
    void showMessage(const QString &text) override;
    void waitMs(int ms) override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void createControls();
    void tmr_ChiusuraTimer();

    // Worked out before FormCreate, which puts its version text in the title.
    const version::ExeInfo ExeInfo1;

    QLabel *lbl_HR = nullptr;
    QLabel *lbl_DeviceNumber = nullptr;
    ui::ColouredButton *Btn_Start1 = nullptr;
    ui::ColouredButton *Btn_Stop = nullptr;
    ui::ColouredButton *Btn_SaveToPC = nullptr;
    QLabel *lbl1 = nullptr;
    ui::SpinEdit *seEdt_SogliaProssimita = nullptr;
    QLabel *Label1 = nullptr;
    QPlainTextEdit *Memo1 = nullptr;
    QTimer *tmr_RichiestaID = nullptr;
    QTimer *tmr_Chiusura = nullptr;

    ui::LabelRepaint m_labelRepaint;
    std::unique_ptr<ui::EventLog> m_log;
    std::unique_ptr<Finder> m_finder;
    bool m_placed = false;
};

} // namespace pulvane
