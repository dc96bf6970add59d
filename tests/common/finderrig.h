// A finder wired to a fake window through the real AntLibrary, created as
// the window creates it: over scripted sticks (FinderRig) or over any other
// provider, such as the machine's own sticks (FinderOver<SystemStickProvider>).
#pragma once

#include "antlibrary.h"
#include "antmessages.h"
#include "fakeview.h"
#include "finder.h"
#include "scriptedstick.h"

namespace pulvane::test {

template <class Provider> struct FinderOver
{
    FakeView view;
    Provider sticks;
    ant::AntLibrary ant{sticks};
    Finder finder{view, ant};

    FinderOver() { finder.FormCreate(QStringLiteral("1.1.1.0")); }

    FinderState &state() { return finder.state(); }
};

struct FinderRig : FinderOver<ScriptedStickProvider>
{
    ScriptedStick &stick() { return sticks.stick(); }

    // START with every command acknowledged: the channel ends up open.
    void startAndOpen()
    {
        stick().setResponder(acknowledgeEverything);
        finder.Btn_Start1Click();
        stick().settle();
    }
    // START with nothing answered but the reset: the chain waits on the key.
    void startOnly()
    {
        stick().setResponder({});
        finder.Btn_Start1Click();
        stick().settle();
    }
    void push(const ant::AntMessage &message)
    {
        stick().push(message);
        stick().settle();
    }
};

inline QByteArray bytes(std::initializer_list<uint8_t> list)
{
    QByteArray b;
    for (uint8_t v : list)
        b.append(char(v));
    return b;
}

} // namespace pulvane::test
