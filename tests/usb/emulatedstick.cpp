// umockdev first: its GLib headers must not see Qt's keyword macros.
#include <umockdev.h>

#include "emulatedstick.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pulvane::test {

namespace {

// The driver name usbfs itself reports for an interface claimed through it.
constexpr char kUsbfsDriver[] = "usbfs";
constexpr char kSerialDriver[] = "usb_serial_simple";

// An URB the host submitted. umockdev runs our handler inside the test
// process, so the URB and its buffer are the host's own memory: a reaped URB
// is filled in place, as the kernel fills it.
struct Urb
{
    usbdevfs_urb *urb = nullptr;
    bool in = false;
    int status = 0;
    QByteArray data;
};

} // namespace

struct EmulatedStick::State
{
    mutable std::mutex mutex;
    Driver driver = Driver::None;
    Responder responder;
    ant::FrameDecoder decoder;
    std::deque<QByteArray> inQueue;
    // Submitted IN reads, oldest first; finished URBs waiting to be reaped.
    std::deque<Urb> reads;
    std::deque<Urb> done;
    QByteArray out;
    QList<ant::AntMessage> written;
    bool unplugged = false;
    bool readsRefused = false;
    bool detached = false;
    bool reattached = false;
    bool claimed = false;
    bool released = false;
    int requests = 0;
    QStringList unknown;
};

EmulatedStick::EmulatedStick() : d(std::make_unique<State>()) {}

EmulatedStick::~EmulatedStick() {}

void EmulatedStick::setDriver(Driver driver)
{
    std::lock_guard lock(d->mutex);
    d->driver = driver;
}

void EmulatedStick::setResponder(Responder responder)
{
    std::lock_guard lock(d->mutex);
    d->responder = std::move(responder);
}

void EmulatedStick::queueIn(const QList<QByteArray> &transfers)
{
    std::lock_guard lock(d->mutex);
    for (const QByteArray &t : transfers)
        d->inQueue.push_back(t);
}

void EmulatedStick::unplug()
{
    std::lock_guard lock(d->mutex);
    d->unplugged = true;
}

void EmulatedStick::refuseReads()
{
    std::lock_guard lock(d->mutex);
    d->readsRefused = true;
}

QByteArray EmulatedStick::outBytes() const
{
    std::lock_guard lock(d->mutex);
    return d->out;
}

QList<ant::AntMessage> EmulatedStick::written() const
{
    std::lock_guard lock(d->mutex);
    return d->written;
}

bool EmulatedStick::driverDetached() const
{
    std::lock_guard lock(d->mutex);
    return d->detached;
}

bool EmulatedStick::driverReattached() const
{
    std::lock_guard lock(d->mutex);
    return d->reattached;
}

bool EmulatedStick::claimed() const
{
    std::lock_guard lock(d->mutex);
    return d->claimed;
}

bool EmulatedStick::released() const
{
    std::lock_guard lock(d->mutex);
    return d->released;
}

int EmulatedStick::pendingReads() const
{
    std::lock_guard lock(d->mutex);
    return int(d->reads.size());
}

int EmulatedStick::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

QStringList EmulatedStick::unknownRequests() const
{
    std::lock_guard lock(d->mutex);
    return d->unknown;
}

bool EmulatedStick::handle(void *clientPointer)
{
    auto *client = static_cast<UMockdevIoctlClient *>(clientPointer);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    const auto answer = [client](long result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
        return true;
    };
    const auto resolve = [arg](size_t size) {
        return umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
    };

    std::lock_guard lock(d->mutex);
    ++d->requests;

    // After an unplug only the reaping of what the kernel already finished
    // goes on; everything else finds no device.
    if (d->unplugged && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
        request != USBDEVFS_DISCARDURB)
        return answer(-1, ENODEV);

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = resolve(sizeof(guint32));
        *reinterpret_cast<guint32 *>(caps->data) =
            USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
            USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        return answer(0, 0);
    }
    case USBDEVFS_GETDRIVER: {
        auto *query =
            reinterpret_cast<usbdevfs_getdriver *>(resolve(sizeof(usbdevfs_getdriver))->data);
        const char *name = nullptr;
        if (query->interface == 0 && d->driver == Driver::KernelSerial && !d->detached)
            name = kSerialDriver;
        else if (query->interface == 0 && (d->driver == Driver::OtherProgram || d->claimed))
            name = kUsbfsDriver;
        if (!name)
            return answer(-1, ENODATA);
        std::strncpy(query->driver, name, sizeof query->driver);
        return answer(0, 0);
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        auto *claim = reinterpret_cast<usbdevfs_disconnect_claim *>(
            resolve(sizeof(usbdevfs_disconnect_claim))->data);
        if (claim->interface != 0)
            return answer(-1, EINVAL);
        if (d->driver == Driver::OtherProgram)
            return answer(-1, EBUSY);
        if (d->driver == Driver::KernelSerial && !d->detached)
            d->detached = true;
        d->claimed = true;
        return answer(0, 0);
    }
    case USBDEVFS_IOCTL: {
        auto *command = reinterpret_cast<usbdevfs_ioctl *>(resolve(sizeof(usbdevfs_ioctl))->data);
        if (command->ifno != 0)
            return answer(-1, EINVAL);
        if (command->ioctl_code == int(USBDEVFS_DISCONNECT)) {
            if (d->driver != Driver::KernelSerial || d->detached)
                return answer(-1, ENODATA);
            d->detached = true;
            return answer(0, 0);
        }
        if (command->ioctl_code == int(USBDEVFS_CONNECT)) {
            if (d->driver == Driver::KernelSerial && d->detached && !d->claimed)
                d->reattached = true;
            return answer(0, 0);
        }
        break;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        const unsigned int number = *reinterpret_cast<unsigned int *>(resolve(sizeof(int))->data);
        if (number != 0)
            return answer(-1, EINVAL);
        if (d->driver == Driver::OtherProgram ||
            (d->driver == Driver::KernelSerial && !d->detached))
            return answer(-1, EBUSY);
        d->claimed = true;
        return answer(0, 0);
    }
    case USBDEVFS_RELEASEINTERFACE:
        d->claimed = false;
        d->released = true;
        return answer(0, 0);
    case USBDEVFS_SUBMITURB: {
        Urb urb;
        UMockdevIoctlData *submitted = resolve(sizeof(usbdevfs_urb));
        urb.urb = reinterpret_cast<usbdevfs_urb *>(submitted->client_addr);
        const auto *fields = reinterpret_cast<const usbdevfs_urb *>(submitted->data);
        if (fields->type != USBDEVFS_URB_TYPE_BULK || fields->buffer_length < 0)
            return answer(-1, EINVAL);
        urb.in = fields->endpoint & 0x80;
        if (urb.in) {
            if (d->readsRefused)
                return answer(-1, EIO);
            d->reads.push_back(urb);
            return answer(0, 0);
        }
        // An OUT transfer is taken whole at once; the stick answers each
        // complete command frame.
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
            submitted, offsetof(usbdevfs_urb, buffer), size_t(fields->buffer_length), nullptr);
        const QByteArray bytes(reinterpret_cast<const char *>(buffer->data), fields->buffer_length);
        d->out += bytes;
        for (const ant::AntMessage &command : d->decoder.feed(bytes)) {
            d->written.append(command);
            if (d->responder)
                for (const ant::AntMessage &reply : d->responder(command))
                    d->inQueue.push_back(ant::encodeFrame(reply));
        }
        urb.data = bytes;
        d->done.push_back(urb);
        return answer(0, 0);
    }
    case USBDEVFS_DISCARDURB: {
        // The argument is the URB's address itself.
        gulong address = 0;
        std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
        for (auto it = d->reads.begin(); it != d->reads.end(); ++it) {
            if (quintptr(it->urb) != address)
                continue;
            // With bytes waiting the kernel would have completed the read
            // already: it comes back whole, and the discard fails.
            const bool completed = !d->inQueue.empty() && !d->unplugged;
            if (completed) {
                it->data = d->inQueue.front().left(it->urb->buffer_length);
                d->inQueue.front().remove(0, it->data.size());
                if (d->inQueue.front().isEmpty())
                    d->inQueue.pop_front();
            } else {
                it->status = -ENOENT;
            }
            d->done.push_back(*it);
            d->reads.erase(it);
            return completed ? answer(-1, EINVAL) : answer(0, 0);
        }
        return answer(-1, EINVAL);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        if (d->done.empty() && !d->reads.empty()) {
            Urb read = d->reads.front();
            if (d->unplugged) {
                // What the host controller gives back when the device goes.
                read.status = -ESHUTDOWN;
            } else if (!d->inQueue.empty()) {
                QByteArray &next = d->inQueue.front();
                read.data = next.left(read.urb->buffer_length);
                next.remove(0, read.data.size());
                if (next.isEmpty())
                    d->inQueue.pop_front();
            }
            if (d->unplugged || !read.data.isEmpty()) {
                d->done.push_back(read);
                d->reads.pop_front();
            }
        }
        if (d->done.empty())
            return answer(-1, d->unplugged ? ENODEV : EAGAIN);
        const Urb urb = d->done.front();
        d->done.pop_front();
        urb.urb->status = urb.status;
        urb.urb->actual_length = urb.status == 0 ? int(urb.data.size()) : 0;
        if (urb.in && urb.status == 0)
            std::memcpy(urb.urb->buffer, urb.data.constData(), size_t(urb.data.size()));
        usbdevfs_urb *reaped = urb.urb;
        std::memcpy(resolve(sizeof reaped)->data, &reaped, sizeof reaped);
        return answer(0, 0);
    }
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
        return answer(0, 0);
    default:
        break;
    }
    d->unknown << QString::number(qulonglong(request), 16);
    return answer(-1, ENOTTY);
}

struct UsbTestBed::Handler
{
    QString node;
    EmulatedStick stick;
    UMockdevIoctlBase *base = nullptr;
};

namespace {

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer stick)
{
    return static_cast<EmulatedStick *>(stick)->handle(client);
}

UMockdevTestbed *bed(void *p)
{
    return static_cast<UMockdevTestbed *>(p);
}

} // namespace

UsbTestBed::UsbTestBed() : m_testbed(umockdev_testbed_new()) {}

UsbTestBed::~UsbTestBed()
{
    for (const std::shared_ptr<Handler> &h : std::as_const(m_handlers)) {
        umockdev_testbed_detach_ioctl(bed(m_testbed), h->node.toUtf8().constData(), nullptr);
        g_object_unref(h->base);
    }
    g_object_unref(bed(m_testbed));
}

bool UsbTestBed::addDevices(const QString &fileName)
{
    QFile file(QStringLiteral(PULVANE_USB_DATA_DIR "/") + fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = file.errorString();
        return false;
    }
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(bed(m_testbed), file.readAll().constData(), &error)) {
        m_error = QString::fromUtf8(error->message);
        g_error_free(error);
        return false;
    }
    return true;
}

EmulatedStick *UsbTestBed::emulate(const QString &node)
{
    auto handler = std::make_shared<Handler>();
    handler->node = node;
    handler->base = umockdev_ioctl_base_new();
    g_signal_connect(handler->base, "handle-ioctl", G_CALLBACK(onIoctl), &handler->stick);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed(m_testbed), node.toUtf8().constData(), handler->base,
                                       &error)) {
        m_error = QString::fromUtf8(error->message);
        g_error_free(error);
        g_object_unref(handler->base);
        return nullptr;
    }
    m_handlers.append(handler);
    return &handler->stick;
}

void UsbTestBed::remove(const QString &sysfsPath)
{
    umockdev_testbed_remove_device(bed(m_testbed), sysfsPath.toUtf8().constData());
}

bool UsbTestBed::makeUnwritable(const QString &node)
{
    const QString root = QString::fromUtf8(umockdev_testbed_get_root_dir(bed(m_testbed)));
    const auto everyone = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                          QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                          QFileDevice::ReadOther | QFileDevice::WriteOther;
    const auto directory =
        everyone | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    // Another user must be able to read the test bed's /sys, open the other
    // nodes and reach their ioctl sockets, and make the socket that stands in
    // for the udev monitor.
    QFile::setPermissions(root, directory);
    for (const QString &top : {QStringLiteral("/ioctl"), QStringLiteral("/dev")}) {
        QDirIterator it(root + top, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QFile::setPermissions(path, it.fileInfo().isDir() ? directory : everyone);
        }
    }
    return QFile::setPermissions(root + node, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                                  QFileDevice::ReadOther);
}

PermissionDropped::PermissionDropped()
{
    if (::geteuid() != 0)
        return;
    // nobody
    m_ok = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
    m_dropped = m_ok;
}

PermissionDropped::~PermissionDropped()
{
    if (m_dropped) {
        [[maybe_unused]] const int u = ::seteuid(0);
        [[maybe_unused]] const int g = ::setegid(0);
    }
}

} // namespace pulvane::test
