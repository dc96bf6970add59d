// A bulk stick (0fcf:1008, 0fcf:1009) through libusb-1.0.
//
// Its maker gives it the driver of libusb's events (usbevents.h). Watching
// descriptors (Linux), all libusb work happens on the thread that owns the
// transport (the window's), and bytes read are handed out after libusb
// returns, so a receiver may close the transport from its slot. With an
// event thread (Windows), each result reaches the owning thread as a queued
// call carrying its own copy of the bytes.
#pragma once

#include "opened.h"

#include <QList>
#include <QSet>

#include <atomic>
#include <memory>
#include <mutex>

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

namespace pulvane::stick {

class UsbEventDriver;

class UsbTransport : public ant::Transport
{
    Q_OBJECT
public:
    // busNumber and portNumbers locate the stick (its place does not change
    // while it stays plugged in, unlike its device address).
    UsbTransport(int busNumber, const QList<int> &portNumbers, const QString &description,
                 std::unique_ptr<UsbEventDriver> events, QObject *parent = nullptr);
    ~UsbTransport() override;

    // Opens the stick: detaches the kernel's serial driver, claims interface
    // 0 and starts reading.
    ant::Refusal open();

    bool write(const QByteArray &bytes) override;
    bool isOpen() const override;
    void close() override;
    QString description() const override;

private:
    // The steps of open() after the stick is claimed (usbdevice.h): watching
    // libusb's events, then the first read.
    void startEvents();
    ant::Refusal startReading();

    static void onTransferDone(libusb_transfer *transfer);

    void handleEvents();
    void transferDone(libusb_transfer *transfer);
    // The read ended for good: forget and free it.
    void dropRead(libusb_transfer *transfer);
    void fail(const QString &reason);
    // From a transfer callback: bytes read, or the stick lost.
    void received(QByteArray bytes);
    void lost(const QString &reason);

    int m_busNumber;
    QList<int> m_portNumbers;
    QString m_description;

    libusb_context *m_context = nullptr;
    libusb_device_handle *m_handle = nullptr;
    bool m_claimed = false;
    unsigned char m_inEndpoint = 0;
    unsigned char m_outEndpoint = 0;
    int m_readSize = 0;
    // Transfers in flight; with an event thread its callbacks change them too.
    std::mutex m_transfersLock;
    libusb_transfer *m_readTransfer = nullptr;
    // Set by close() as it cancels: the read is not resubmitted. Every
    // transfer leaves m_readTransfer or m_writes under the lock before it is
    // freed, and close() cancels only under the lock.
    bool m_closing = false;
    // The read ended cancelled without close() asking, and was submitted
    // again; a read that completes clears it.
    bool m_readCancelledBefore = false;
    QSet<libusb_transfer *> m_writes;
    std::unique_ptr<UsbEventDriver> m_events;

    // What the transfer callbacks gathered; handed out once libusb returns
    // (without an event thread).
    QList<QByteArray> m_received;
    QString m_goneReason;
    std::atomic<bool> m_gone = false;
    bool m_inEvents = false;
};

} // namespace pulvane::stick
