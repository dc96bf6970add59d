#include "usbtransport.h"

#include "openfailure.h"
#include "usbdevice.h"
#include "usbevents.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// timeval lives in different system headers: winsock2.h on Windows (it must
// come ahead of the windows.h that libusb.h includes), sys/time.h elsewhere.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/time.h>
#endif
#include <libusb.h>

namespace pulvane::stick {

namespace {

constexpr unsigned int kWriteTimeoutMs = 2000;

} // namespace

UsbTransport::UsbTransport(int busNumber, const QList<int> &portNumbers, const QString &description,
                           std::unique_ptr<UsbEventDriver> events, QObject *parent)
    : ant::Transport(parent), m_busNumber(busNumber), m_portNumbers(portNumbers),
      m_description(description), m_events(std::move(events))
{}

UsbTransport::~UsbTransport()
{
    close();
}

ant::Refusal UsbTransport::open()
{
    m_closing = false;
    m_readCancelledBefore = false;
    if (int rc = libusb_init(&m_context); rc != 0) {
        m_context = nullptr;
        return QStringLiteral("libusb: %1").arg(usbErrorText(rc));
    }
    QString node;
    UsbStickDevice device;
    const int rc = openUsbStick(m_context, m_busNumber, m_portNumbers, &device, &node);
    m_handle = device.handle;
    m_claimed = device.claimed;
    m_inEndpoint = device.inEndpoint;
    m_outEndpoint = device.outEndpoint;
    m_readSize = device.readSize;
    if (rc != 0) {
        close();
        return usbOpenFailure(rc, m_description, node);
    }
    if (!m_inEndpoint || !m_outEndpoint) {
        close();
        return QStringLiteral("%1 has no bulk endpoints on interface 0").arg(m_description);
    }
    startEvents();
    if (ant::Refusal refused = startReading()) {
        close();
        return refused;
    }
    return std::nullopt;
}

void UsbTransport::startEvents()
{
    m_events->start(m_context, [this] { handleEvents(); });
}

ant::Refusal UsbTransport::startReading()
{
    m_readTransfer = libusb_alloc_transfer(0);
    auto *buffer = static_cast<unsigned char *>(std::malloc(size_t(m_readSize)));
    libusb_fill_bulk_transfer(m_readTransfer, m_handle, m_inEndpoint, buffer, m_readSize,
                              &UsbTransport::onTransferDone, this, 0);
    m_readTransfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    if (int submit = libusb_submit_transfer(m_readTransfer); submit != 0) {
        libusb_free_transfer(m_readTransfer);
        m_readTransfer = nullptr;
        return otherReason(m_description, usbErrorText(submit));
    }
    return std::nullopt;
}

bool UsbTransport::write(const QByteArray &bytes)
{
    if (!isOpen() || bytes.isEmpty())
        return false;
    libusb_transfer *transfer = libusb_alloc_transfer(0);
    auto *buffer = static_cast<unsigned char *>(std::malloc(size_t(bytes.size())));
    std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
    libusb_fill_bulk_transfer(transfer, m_handle, m_outEndpoint, buffer, int(bytes.size()),
                              &UsbTransport::onTransferDone, this, kWriteTimeoutMs);
    transfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    // Listed before it is submitted: an event thread may see it done at once.
    std::unique_lock<std::mutex> guard(m_transfersLock);
    m_writes.insert(transfer);
    guard.unlock();
    if (int rc = libusb_submit_transfer(transfer); rc != 0) {
        guard.lock();
        m_writes.remove(transfer);
        guard.unlock();
        libusb_free_transfer(transfer);
        if (rc == LIBUSB_ERROR_NO_DEVICE)
            fail(usbErrorText(rc));
        return false;
    }
    return true;
}

bool UsbTransport::isOpen() const
{
    return m_handle && !m_gone;
}

void UsbTransport::close()
{
    if (!m_context)
        return;
    // Transfers in flight own pointers to us: cancel them and let libusb
    // report each one back before the handle and the context go.
    const auto inFlight = [this] {
        std::lock_guard<std::mutex> guard(m_transfersLock);
        return m_readTransfer || !m_writes.isEmpty();
    };
    {
        // From here the read is never resubmitted: an event thread finishing
        // it now would otherwise hand libusb a transfer nobody cancels. The
        // cancels happen under the lock too: a callback frees a transfer only
        // once it has taken it out of m_readTransfer or m_writes under this
        // lock, so each transfer cancelled here is still allocated (libusb
        // answers one that has just completed with "not found").
        std::lock_guard<std::mutex> guard(m_transfersLock);
        m_closing = true;
        if (m_readTransfer)
            libusb_cancel_transfer(m_readTransfer);
        for (libusb_transfer *t : std::as_const(m_writes))
            libusb_cancel_transfer(t);
    }
    for (int round = 0; round < 50 && inFlight(); ++round)
        m_events->letEventsRun(m_context);
    // No callback runs after this.
    m_events->stop();
    // A transfer libusb never gave back is leaked rather than freed under it.
    m_readTransfer = nullptr;
    m_writes.clear();
    m_received.clear();

    if (m_handle) {
        if (m_claimed)
            libusb_release_interface(m_handle, kUsbStickInterface);
        libusb_close(m_handle);
        m_handle = nullptr;
    }
    m_claimed = false;
    libusb_exit(m_context);
    m_context = nullptr;
}

QString UsbTransport::description() const
{
    return m_description;
}

void UsbTransport::onTransferDone(libusb_transfer *transfer)
{
    static_cast<UsbTransport *>(transfer->user_data)->transferDone(transfer);
}

void UsbTransport::handleEvents()
{
    if (!m_context || m_inEvents)
        return;
    m_inEvents = true;
    timeval zero{0, 0};
    const int rc = libusb_handle_events_timeout_completed(m_context, &zero, nullptr);
    m_inEvents = false;
    if (rc == LIBUSB_ERROR_NO_DEVICE && !m_gone) {
        m_gone = true;
        m_goneReason = usbErrorText(rc);
    }

    // Hand out what libusb gathered; a receiver may close us on the way.
    while (!m_received.isEmpty() && m_context) {
        const QByteArray bytes = m_received.takeFirst();
        emit bytesArrived(bytes);
    }
    if (m_gone && m_context && !m_goneReason.isEmpty()) {
        const QString reason = m_goneReason;
        m_goneReason.clear();
        m_events->quiet();
        emit gone(reason);
    }
}

void UsbTransport::transferDone(libusb_transfer *transfer)
{
    std::unique_lock<std::mutex> guard(m_transfersLock);
    if (transfer != m_readTransfer) {
        m_writes.remove(transfer);
        guard.unlock();
        const libusb_transfer_status status = transfer->status;
        libusb_free_transfer(transfer);
        if (status == LIBUSB_TRANSFER_NO_DEVICE)
            lost(unpluggedReason(Link::Usb));
        return;
    }
    guard.unlock();

    QString reason;
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        m_readCancelledBefore = false;
        if (transfer->actual_length > 0)
            received(QByteArray(reinterpret_cast<const char *>(transfer->buffer),
                                transfer->actual_length));
        [[fallthrough]];
    case LIBUSB_TRANSFER_TIMED_OUT: {
        // Under the lock, so that close() either sees this read in flight
        // and cancels it, or this sees close() under way and lets it go.
        std::unique_lock<std::mutex> resubmit(m_transfersLock);
        if (m_closing) {
            resubmit.unlock();
            dropRead(transfer);
            return;
        }
        if (!m_gone && libusb_submit_transfer(transfer) == 0)
            return;
        break;
    }
    case LIBUSB_TRANSFER_CANCELLED: {
        // close() cancels it: the stick is not gone. Otherwise the system
        // ended it (libusb on Windows reports every aborted transfer so, an
        // unplug or a power change among them): submitted again once, and
        // the stick lost if that fails or it ends so again at once.
        std::unique_lock<std::mutex> resubmit(m_transfersLock);
        if (m_closing) {
            resubmit.unlock();
            dropRead(transfer);
            return;
        }
        if (!m_gone && !m_readCancelledBefore && libusb_submit_transfer(transfer) == 0) {
            m_readCancelledBefore = true;
            return;
        }
        resubmit.unlock();
        reason = unpluggedReason(Link::Usb);
        break;
    }
    case LIBUSB_TRANSFER_NO_DEVICE:
        reason = unpluggedReason(Link::Usb);
        break;
    default:
        // A stall or an I/O error: the stick no longer answers.
        reason = QStringLiteral("read failed (transfer status %1)").arg(int(transfer->status));
        break;
    }
    dropRead(transfer);
    // Without a reason, resubmitting failed: nothing will read this stick again.
    lost(reason.isEmpty() ? QStringLiteral("reading stopped") : reason);
}

void UsbTransport::dropRead(libusb_transfer *transfer)
{
    std::unique_lock<std::mutex> guard(m_transfersLock);
    m_readTransfer = nullptr;
    guard.unlock();
    libusb_free_transfer(transfer);
}

void UsbTransport::received(QByteArray bytes)
{
    if (!m_events->callsBackElsewhere()) {
        m_received.append(bytes);
        return;
    }
    // On the event thread: the bytes travel with the call. A call that
    // arrives after close() (or after we are gone) is dropped.
    QMetaObject::invokeMethod(
        this,
        [this, bytes = std::move(bytes)] {
            if (m_context)
                emit bytesArrived(bytes);
        },
        Qt::QueuedConnection);
}

void UsbTransport::lost(const QString &reason)
{
    if (m_gone.exchange(true))
        return;
    if (!m_events->callsBackElsewhere()) {
        m_goneReason = reason;
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, reason] {
            if (m_context)
                emit gone(reason);
        },
        Qt::QueuedConnection);
}

void UsbTransport::fail(const QString &reason)
{
    if (m_gone.exchange(true))
        return;
    m_events->quiet();
    emit gone(reason);
}

} // namespace pulvane::stick
