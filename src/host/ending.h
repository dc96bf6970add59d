// The signals that end a program, turned into a call on its event loop: the
// program can close what it holds (a serial line and its lock) and end the
// way it chooses. A signal that was ignored when the program started stays
// ignored: whoever started it (nohup, a job of a non-interactive shell)
// chose that it outlive them. A second signal while the first is handled
// takes its default course at once.
//
// One Ending per process, made by main() on the thread of the event loop
// and kept for as long as that loop runs. Nothing on Windows, where the
// window's close ends the program.
#pragma once

#include <QObject>

#include <functional>

namespace pulvane::host {

class Ending
{
public:
    enum class Signals
    {
        Interrupting, // SIGTERM, SIGHUP and SIGINT: what a user or a session sends
        Every         // every catchable signal whose default ends the process
    };
    // onSignal gets the signal's number, on the event loop's thread.
    Ending(Signals which, std::function<void(int signal)> onSignal);
    ~Ending();
    Ending(const Ending &) = delete;
    Ending &operator=(const Ending &) = delete;

    // False when the handlers could not be put in place.
    bool isInstalled() const { return m_installed; }

    // Ends the process as signal would by default, for a program that has
    // done what it had to and wants its parent to see the signal.
    [[noreturn]] static void endAs(int signal);

private:
    bool m_installed = false;
    QObject *m_notifier = nullptr;
};

} // namespace pulvane::host
