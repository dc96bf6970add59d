// A stick behind a tty: the bridge stick (0fcf:1004), a bulk stick that only
// the kernel's serial driver reaches, or a virtual stick (a pseudo-terminal or
// a UART module linked from the virtual-stick directory).
#pragma once

#include "processes.h"
#include "transport.h"

#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

namespace pulvane::stick {

class SerialTransport : public ant::Transport
{
    Q_OBJECT
public:
    // path: the tty node, or a link to it. Nothing is opened yet.
    SerialTransport(const QString &path, int baudrate, const QString &description,
                    QObject *parent = nullptr);
    ~SerialTransport() override;

    struct Opened
    {
        bool opened = false;
        QString why; // when not opened, with a hint where one helps
        explicit operator bool() const { return opened; }
    };
    // Opens the tty raw at the baud rate, 8N1, no flow control, when path
    // and the tty it leads to pass vetSerialDevice (serialdevice.h) before
    // and after opening, and no program that could hold the tty holds it
    // (seriallock.h). processes: the START's look at /proc.
    Opened open(const host::ProcessSnapshot &processes = host::ProcessSnapshot::read());

    bool write(const QByteArray &bytes) override;
    bool isOpen() const override;
    void close() override;
    QString description() const override;
    void holdReads(std::chrono::milliseconds hold) override;

private:
    bool openPort(const QString &device);
    Opened refuse(const QString &why);
    QString busyReasonFor(const QString &device, const host::ProcessSnapshot &processes) const;
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);

    QSerialPort m_port;
    QString m_path;
    int m_baudrate;
    QString m_description;
    bool m_gone = false;
    // While it runs, the port's read notifier is switched off.
    QTimer m_hold;
    QPointer<QSocketNotifier> m_heldNotifier;
};

} // namespace pulvane::stick
