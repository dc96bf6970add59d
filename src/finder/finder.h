// The finder: one search's lifecycle around the FinderState, behind the
// window's handlers. TForm1 forwards its events here; the ANT interface's
// two callbacks land in MainEvent (responsechain.cpp) and FrameChannelEvent
// (channelevents.cpp).
//
// Everything runs on the window's thread. The finder never touches a widget:
// it talks to the window through FinderView.
#pragma once

#include "finderstate.h"
#include "findersteps.h"
#include "finderview.h"

#include <QObject>
#include <QString>
#include <cstdint>

namespace pulvane {

namespace ant {
class AntLibrary;
}

class Finder : public QObject, private FinderSteps
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
    // The held stick went away (AntLibrary::stickGone, queued: it may go
    // inside one of the handlers here, which finish first).
    void stickLost();

    // The two ANT callbacks land here, after their buffer has been filled:
    // responses drive the configuration chain, channel events keep the link
    // statistics and carry the heart rate.
    bool MainEvent(uint8_t channel, uint8_t messageId);
    bool FrameChannelEvent(uint8_t channel, uint8_t eventCode);

    FinderState &state() { return m_state; }
    const FinderState &state() const { return m_state; }

private:
    // Run from inside the two handlers above (FinderSteps).
    void DecodificaValoriCardio() override;
    void requestChannelId() override;
    // Takes the device number from the channel-ID message in ResponseBuffer.
    void takeChannelId();

    FinderView &m_view;
    ant::AntLibrary &m_ant;
    FinderState m_state;
};

} // namespace pulvane
