#include "usbtransport.h"

#include "openfailure.h"
#include "usbdevice.h"
#include "usbeventthread.h"

#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <cstring>

// timeval and POLLIN/POLLOUT live in different system headers: winsock2.h on
// Windows (it must come ahead of the windows.h that libusb.h includes),
// poll.h and sys/time.h elsewhere.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#include <sys/time.h>
#endif
#include <libusb.h>

namespace pulvane::stick {

namespace {

constexpr unsigned int kWriteTimeoutMs = 2000;

} // namespace

UsbTransport::UsbTransport(int busNumber, const QList<int> &portNumbers, const QString &description,
                           QObject *parent)
    : ant::Transport(parent), m_busNumber(busNumber), m_portNumbers(portNumbers),
      m_description(description)
{}

UsbTransport::~UsbTransport()
{
    close();
}

bool UsbTransport::open(QString *why)
{
    m_closing = false;
    m_readCancelledBefore = false;
    if (int rc = libusb_init(&m_context); rc != 0) {
        m_context = nullptr;
        *why = QStringLiteral("libusb: %1").arg(usbErrorText(rc));
        return false;
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
        *why = usbOpenFailure(rc, m_description, node);
        close();
        return false;
    }
    if (!m_inEndpoint || !m_outEndpoint) {
        *why = QStringLiteral("%1 has no bulk endpoints on interface 0").arg(m_description);
        close();
        return false;
    }
    startEvents();
    if (!startReading(why)) {
        close();
        return false;
    }
    return true;
}

void UsbTransport::handleEventsOnOwnThread()
{
    m_ownEventThread = true;
}

void UsbTransport::startEvents()
{
    // libusb's descriptors are watched on our thread; where it has none to
    // give, its events get a thread of their own.
    const libusb_pollfd **fds = m_ownEventThread ? nullptr : libusb_get_pollfds(m_context);
    if (fds) {
        for (const libusb_pollfd **p = fds; *p; ++p)
            watch((*p)->fd, (*p)->events);
        libusb_free_pollfds(fds);
        libusb_set_pollfd_notifiers(m_context, &UsbTransport::onPollfdAdded,
                                    &UsbTransport::onPollfdRemoved, this);
    } else {
        m_eventThread = std::make_unique<UsbEventThread>(m_context);
    }
}

bool UsbTransport::startReading(QString *why)
{
    m_readTransfer = libusb_alloc_transfer(0);
    auto *buffer = static_cast<unsigned char *>(std::malloc(size_t(m_readSize)));
    libusb_fill_bulk_transfer(m_readTransfer, m_handle, m_inEndpoint, buffer, m_readSize,
                              &UsbTransport::onTransferDone, this, 0);
    m_readTransfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    if (m_eventThread)
        m_eventThread->start();
    if (int submit = libusb_submit_transfer(m_readTransfer); submit != 0) {
        *why = otherReason(m_description, usbErrorText(submit));
        libusb_free_transfer(m_readTransfer);
        m_readTransfer = nullptr;
        return false;
    }
    return true;
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
    for (int round = 0; round < 50 && inFlight(); ++round) {
        if (m_eventThread && m_eventThread->isRunning()) {
            QThread::msleep(20);
        } else {
            timeval tv{0, 20000};
            libusb_handle_events_timeout_completed(m_context, &tv, nullptr);
        }
    }
    // No callback runs after this.
    if (m_eventThread)
        m_eventThread->stop();
    m_eventThread.reset();
    // A transfer libusb never gave back is leaked rather than freed under it.
    m_readTransfer = nullptr;
    m_writes.clear();
    m_received.clear();

    if (!m_notifiers.isEmpty())
        libusb_set_pollfd_notifiers(m_context, nullptr, nullptr, nullptr);
    stopWatching();
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

void UsbTransport::onPollfdAdded(int fd, short events, void *self)
{
    static_cast<UsbTransport *>(self)->watch(fd, events);
}

void UsbTransport::onPollfdRemoved(int fd, void *self)
{
    static_cast<UsbTransport *>(self)->unwatch(fd);
}

void UsbTransport::watch(int fd, short events)
{
    const auto add = [this, fd](QSocketNotifier::Type type) {
        auto *notifier = new QSocketNotifier(qintptr(fd), type, this);
        connect(notifier, &QSocketNotifier::activated, this, &UsbTransport::handleEvents);
        m_notifiers.append(notifier);
    };
    if (events & POLLIN)
        add(QSocketNotifier::Read);
    if (events & POLLOUT)
        add(QSocketNotifier::Write);
}

void UsbTransport::unwatch(int fd)
{
    // Removal may happen inside a notifier's own activation: disable now,
    // delete later.
    for (auto it = m_notifiers.begin(); it != m_notifiers.end();) {
        if ((*it)->socket() == fd) {
            (*it)->setEnabled(false);
            (*it)->deleteLater();
            it = m_notifiers.erase(it);
        } else {
            ++it;
        }
    }
}

void UsbTransport::stopWatching()
{
    for (QSocketNotifier *notifier : std::as_const(m_notifiers)) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    m_notifiers.clear();
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
        stopWatching();
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
    if (!m_eventThread) {
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
    if (!m_eventThread) {
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
    stopWatching();
    emit gone(reason);
}

} // namespace pulvane::stick
