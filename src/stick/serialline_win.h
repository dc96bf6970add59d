// A stick behind a Windows COM port: the bridge stick (0fcf:1004) through its
// USB-serial driver, or a port named in PULVANE_STICKS (a UART module, or a
// simulator behind a mapped port). Windows only.
//
// Win32 serial I/O of our own, overlapped: one read is always pending, and
// its completion event is watched with a QWinEventNotifier, so everything
// happens on the thread that owns the transport (the window's) and no reader
// thread shares a buffer with it. The port runs raw at the given rate, 8N1,
// without flow control.
#pragma once

#include "opened.h"

#include <QByteArray>
#include <memory>

class QWinEventNotifier;

namespace pulvane::stick {

class WinSerialTransport : public ant::Transport
{
    Q_OBJECT
public:
    // port: "COM5", or a device path such as "\\.\COM12". Nothing is opened
    // yet.
    WinSerialTransport(const QString &port, int baudrate, const QString &description,
                       QObject *parent = nullptr);
    ~WinSerialTransport() override;

    // Opens and sets up the port and starts reading; refused as absent, busy,
    // or with the system's own text.
    ant::Refusal open();

    // Waits until the bytes have been handed to the port's driver (at most
    // kWriteTimeoutMs), as the reset that is followed by a blocking wait
    // needs.
    bool write(const QByteArray &bytes) override;
    bool isOpen() const override;
    void close() override;
    QString description() const override;

    // The path CreateFile is given for a port name: "COM5" -> "\\.\COM5"
    // (needed from COM10 on); a path already in that form is kept.
    static QString devicePath(const QString &port);
    // Why CreateFile failed on the port, from its error code.
    static QString openFailure(const QString &port, unsigned long errorCode);

    static constexpr unsigned kWriteTimeoutMs = 2000;

private:
    struct Io;
    bool startRead();
    void onReadDone();
    void fail(const QString &reason);

    QString m_port;
    int m_baudrate;
    QString m_description;
    std::unique_ptr<Io> m_io;
    QWinEventNotifier *m_readNotifier = nullptr;
    int m_emptyReads = 0;
    bool m_gone = false;
};

} // namespace pulvane::stick
