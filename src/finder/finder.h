// The finder: one search's lifecycle around the FinderState, behind the
// window's handlers. TForm1 forwards its events here; the ANT interface's
// callbacks land in MainEvent and FrameChannelEvent.
//
// Everything runs on the window's thread. The finder never touches a widget:
// it talks to the window through FinderView.
#pragma once

#include "extractionsteps.h"
#include "finderstate.h"
#include "finderview.h"

#include <QObject>
#include <QString>
#include <cstdint>

namespace pulvane {

namespace ant {
class AntLibrary;
}

class Finder : public QObject, public ExtractionSteps
{
    Q_OBJECT
public:
    // view and ant must outlive the finder. START registers the finder's
    // handlers with ant; the destructor withdraws them.
    Finder(FinderView &view, ant::AntLibrary &ant, QObject *parent = nullptr);
    ~Finder() override;

    // Window creation: the title from the version text, then the state.
    void FormCreate(const QString &versionText);
    void ResetANT();

    void Btn_Start1Click();
    void Btn_StopClick();
    void Btn_SaveToPCClick();
    // A request to close the window; true when the close goes ahead.
    bool FormClose();
    void FormDestroy();
    void tmr_RichiestaIDTimer();

    // The two ANT callbacks land here, after their buffer has been filled.
    bool MainEvent(uint8_t channel, uint8_t messageId);
    bool FrameChannelEvent(uint8_t channel, uint8_t eventCode);

    // ExtractionSteps, run from inside the two handlers above.
    void DecodificaValoriCardio() override;
    void requestChannelId() override;
    void takeChannelId() override;

    FinderState &state() { return m_state; }
    const FinderState &state() const { return m_state; }

private:
    FinderView &m_view;
    ant::AntLibrary &m_ant;
    FinderState m_state;
};

} // namespace pulvane
