#include "ending.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace pulvane::host {

namespace {

constexpr int kInterrupting[] = {SIGTERM, SIGHUP, SIGINT};
// SIGHUP comes when a terminal closes, SIGPIPE when what reads the output is
// gone (a program piped into head).
constexpr int kEvery[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE,   SIGALRM,
                          SIGTERM, SIGUSR1,   SIGUSR2, SIGXCPU,   SIGXFSZ,
                          SIGPOLL, SIGVTALRM, SIGPROF, SIGSTKFLT, SIGPWR};

// Written by the handler, read on the event loop's thread.
int g_pipe[2] = {-1, -1};

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // The pipe is full only if the loop has stopped reading: end at once.
    if (::write(g_pipe[1], &byte, 1) != 1)
        std::_Exit(128 + signal);
    errno = saved;
}

} // namespace

Ending::Ending(Signals which, std::function<void(int)> onSignal)
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read);
    m_notifier = notifier;
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [onSignal = std::move(onSignal)] {
                         unsigned char signal = 0;
                         if (::read(g_pipe[0], &signal, 1) == 1)
                             onSignal(signal);
                     });
    struct sigaction action
    {
    };
    action.sa_handler = pulvane::host::onSignal;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    const auto install = [&action](int signal) {
        struct sigaction previous
        {
        };
        if (::sigaction(signal, nullptr, &previous) != 0)
            return false;
        if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN)
            return true;
        return ::sigaction(signal, &action, nullptr) == 0;
    };
    m_installed = true;
    if (which == Signals::Interrupting) {
        for (int signal : kInterrupting)
            m_installed = install(signal) && m_installed;
    } else {
        for (int signal : kEvery)
            m_installed = install(signal) && m_installed;
    }
}

Ending::~Ending()
{
    // Without the notifier nobody reads the pipe: signals take their default
    // course again.
    for (int signal : kEvery) {
        struct sigaction current
        {
        };
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == onSignal)
            std::signal(signal, SIG_DFL);
    }
    delete m_notifier;
}

void Ending::endAs(int signal)
{
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal);
}

} // namespace pulvane::host
