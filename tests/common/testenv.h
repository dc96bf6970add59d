// What tests and benchmarks share about the machine they run on: a runtime
// folder of their own, byte strings written as hex, and processor time.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

namespace pulvane::test {

// Bytes from hex digits; spaces between them are skipped.
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Points XDG_RUNTIME_DIR of this process, and of every process it starts
// from now on, at a new empty folder that only this user may enter, for as
// long as the object lives: stick discovery and antsim then see the virtual
// sticks the test makes and no others. The previous value comes back after.
class PrivateRuntime
{
public:
    PrivateRuntime()
        : m_hadPrevious(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")),
          m_previous(qgetenv("XDG_RUNTIME_DIR"))
    {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path()));
    }
    ~PrivateRuntime()
    {
        if (m_hadPrevious)
            qputenv("XDG_RUNTIME_DIR", m_previous);
        else
            qunsetenv("XDG_RUNTIME_DIR");
    }

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    bool m_hadPrevious;
    QByteArray m_previous;
};

// User and system processor time of a process (this one when pid is 0), in
// seconds, over all its threads; -1 when it cannot be read (the process has
// ended). Linux only: defined in testenv_linux.cpp, which the targets that
// call it list among their sources.
double cpuSeconds(qint64 pid = 0);

} // namespace pulvane::test
