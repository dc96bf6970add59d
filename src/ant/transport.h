// A link to one stick: write bytes, bytes arrive, the device went away.
// Implemented by the libusb bulk transport, the serial transport (bridge
// sticks, kernel-serial sticks and virtual sticks) and the in-test transports.
//
// Lives on the window's thread; bytesArrived and gone are emitted there, each
// with its own copy of the bytes.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <chrono>

namespace pulvane::ant {

class Transport : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~Transport() override = default;

    // Queues bytes for the stick; false when the link is down.
    virtual bool write(const QByteArray &bytes) = 0;
    virtual bool isOpen() const = 0;
    // Releases the device; no signals after this returns.
    virtual void close() = 0;
    // Human-readable name of the stick, for messages on standard error.
    virtual QString description() const = 0;
    // Reads nothing for the time given: what arrives meanwhile comes in one
    // bytesArrived after it, not a wakeup for each of its bytes. A link that
    // cannot wait goes on reading.
    virtual void holdReads(std::chrono::milliseconds) {}

signals:
    void bytesArrived(const QByteArray &bytes);
    // The device disappeared or failed; the transport has stopped reading.
    void gone(const QString &reason);
};

} // namespace pulvane::ant
