// The program's one way to standard error. Each folder logs through its own
// category (pulvane.ant, pulvane.stick, ...; qCWarning), and main() makes one
// MessageLog for the program's life, which takes every message Qt hands on:
// its text goes to standard error as it is, one line, with neither category
// nor type before it. A windowed program on Windows has no standard error, so
// there the program's own lines (its pulvane.* categories) are also kept in
// a per-user file and every message goes to the debugger output too
// (messagelog_win.cpp; nothing more on Linux).
#pragma once

#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <memory>

namespace pulvane::ant {

class MessageLog
{
public:
    // Installs itself as Qt's message handler and opens the per-user file
    // where one is kept; the handler before it comes back when it goes.
    MessageLog();
    ~MessageLog();
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);
    void write(const QMessageLogContext &context, const QString &text);

    // Platform pieces: where a line goes besides standard error.
    class Keeper;
    struct KeeperEnd
    {
        void operator()(Keeper *keeper) const;
    };
    using KeeperPtr = std::unique_ptr<Keeper, KeeperEnd>;
    static KeeperPtr openKeeper();
    static void keep(Keeper *keeper, bool ours, const QString &text);

    QMutex m_mutex; // the libusb event thread may log too
    KeeperPtr m_keeper;
    QtMessageHandler m_previous = nullptr;
};

// Where the program's lines are kept: <local application data>/Pulvane/
// diagnostics.log on Windows; empty where nothing is kept beside standard
// error.
QString stickDiagnosticsFile();

} // namespace pulvane::ant
