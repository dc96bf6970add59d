// A bulk stick (0fcf:1008, 0fcf:1009) with its maker's libusb-win32 driver,
// reached through libusb0.dll as the driver comes. Windows only.
//
// Reading has a thread of its own. It keeps one asynchronous IN transfer of
// one packet (64 bytes) pending and waits on it in short steps
// (kReadTimeoutMs), looking for close() between them. A step that times out
// leaves the transfer pending with what it has gathered (a transfer the
// library cancels loses its bytes), so a transfer is cancelled only by
// close(). One packet per transfer: each packet completes one, and a
// zero-length packet never holds one open. Each completed transfer goes to
// the thread that owns the transport (the window's) as a queued call
// carrying its own copy of the bytes, and the next one is submitted.
//
// The library says "timed out" (-116) also for a transfer that has ended
// aborted (an unplug, a port reset, a sleep), and says it at once for every
// later reap: a -116 that comes long before the step's end is a transfer
// over, which is submitted again. A submit that fails, any other failure, or
// transfers that keep ending aborted, are the stick gone.
//
// Writes go through the asynchronous calls too, on the owning thread, with a
// bounded wait (kWriteTimeoutMs); one that does not end by then is
// cancelled, reaped until given back, and only then freed.
#pragma once

#include "opened.h"

#include <memory>

namespace pulvane::stick {

namespace libusb0 {
class Library;
}

class Libusb0Transport : public ant::Transport
{
    Q_OBJECT
public:
    // deviceName: the device's name as the library lists it
    // ("\\.\libusb0-0001--0x0fcf-0x1009"). Nothing is opened yet.
    Libusb0Transport(std::shared_ptr<const libusb0::Library> library, const QString &deviceName,
                     const QString &description, QObject *parent = nullptr);
    ~Libusb0Transport() override;

    // Finds the device among those the library lists (listing them only
    // when it is not among them), opens it, sets configuration 1, claims
    // interface 0 and starts reading. When a reader of an earlier opening of this device is still
    // inside the library, waits for it at most kCloseWaitMs first. Refused as
    // gone, busy with the library's text, the earlier reader, or with the
    // library's own text: a refused claim is busy while the library still
    // lists the stick, gone once it does not.
    ant::Refusal open();

    bool write(const QByteArray &bytes) override;
    bool isOpen() const override;
    // Stops reading (the pending transfer is cancelled and reaped), releases
    // interface 0 and closes the device. Waits for the reader at most
    // kCloseWaitMs: a read the library does not give back by then finishes
    // on its own, and its thread releases and closes the device afterwards.
    // No signals after this returns.
    void close() override;
    QString description() const override;

    static constexpr int kOutEndpoint = 0x01;
    static constexpr int kInEndpoint = 0x81;
    // One step of the wait on the pending transfer.
    static constexpr int kReadTimeoutMs = 100;
    // What each transfer asks for: one 64-byte packet.
    static constexpr int kReadSize = 64;
    static constexpr int kWriteTimeoutMs = 2000;
    // Ten read time-outs, and still less than one write may take; also the
    // longest wait for a cancelled transfer to be given back.
    static constexpr int kCloseWaitMs = 1000;

private:
    struct Reader;
    // On the owning thread, from the reader's queued calls: dropped unless
    // reader is still the one in use.
    void deliver(const std::shared_ptr<Reader> &reader, const QByteArray &bytes);
    void readerLost(const std::shared_ptr<Reader> &reader);
    void fail();

    std::shared_ptr<const libusb0::Library> m_library;
    QString m_deviceName;
    QString m_description;
    std::shared_ptr<Reader> m_reader;
    bool m_gone = false;
};

} // namespace pulvane::stick
