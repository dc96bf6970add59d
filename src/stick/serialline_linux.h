// A stick behind a tty: the bridge stick (0fcf:1004), a bulk stick that only
// the kernel's serial driver reaches, or a virtual stick (a pseudo-terminal or
// a UART module linked from the virtual-stick directory).
#pragma once

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

    // Opens the tty raw at the baud rate, 8N1, no flow control, when path
    // and the tty it leads to pass vetSerialDevice (virtualsticks.h) before
    // and after opening. On failure returns false and says why, with a hint
    // where one helps.
    bool open(QString *why);

    bool write(const QByteArray &bytes) override;
    bool isOpen() const override;
    void close() override;
    QString description() const override;
    void holdReads(std::chrono::milliseconds hold) override;

private:
    // Opens the tty, also past a lock left by a program that has ended; while
    // it is open, the program's ending closes it (signals, exit()).
    bool openPort(const QString &device);
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
