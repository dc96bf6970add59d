// umockdev first: its GLib headers must not see Qt's keyword macros.
#include <umockdev.h>

#include "emulatedstick.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <sys/ioctl.h>

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

// How an ioctl ends: its result and errno.
struct Reply
{
    long result;
    int error;
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

    // The URB requests: a bulk transfer submitted, a read discarded, a
    // finished URB reaped into the pointer arg leads to.
    Reply submit(UMockdevIoctlData *submitted);
    Reply discard(UMockdevIoctlData *arg);
    Reply reap(UMockdevIoctlData *arg);
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
    const auto answer = [client](Reply reply) {
        umockdev_ioctl_client_complete(client, reply.result, reply.error);
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
        return answer({-1, ENODEV});

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = resolve(sizeof(guint32));
        *reinterpret_cast<guint32 *>(caps->data) =
            USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
            USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        return answer({0, 0});
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
            return answer({-1, ENODATA});
        std::strncpy(query->driver, name, sizeof query->driver);
        return answer({0, 0});
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        auto *claim = reinterpret_cast<usbdevfs_disconnect_claim *>(
            resolve(sizeof(usbdevfs_disconnect_claim))->data);
        if (claim->interface != 0)
            return answer({-1, EINVAL});
        if (d->driver == Driver::OtherProgram)
            return answer({-1, EBUSY});
        if (d->driver == Driver::KernelSerial && !d->detached)
            d->detached = true;
        d->claimed = true;
        return answer({0, 0});
    }
    case USBDEVFS_IOCTL: {
        auto *command = reinterpret_cast<usbdevfs_ioctl *>(resolve(sizeof(usbdevfs_ioctl))->data);
        if (command->ifno != 0)
            return answer({-1, EINVAL});
        if (command->ioctl_code == int(USBDEVFS_DISCONNECT)) {
            if (d->driver != Driver::KernelSerial || d->detached)
                return answer({-1, ENODATA});
            d->detached = true;
            return answer({0, 0});
        }
        if (command->ioctl_code == int(USBDEVFS_CONNECT)) {
            if (d->driver == Driver::KernelSerial && d->detached && !d->claimed)
                d->reattached = true;
            return answer({0, 0});
        }
        break;
    }
    case USBDEVFS_CLAIMINTERFACE: {
        const unsigned int number = *reinterpret_cast<unsigned int *>(resolve(sizeof(int))->data);
        if (number != 0)
            return answer({-1, EINVAL});
        if (d->driver == Driver::OtherProgram ||
            (d->driver == Driver::KernelSerial && !d->detached))
            return answer({-1, EBUSY});
        d->claimed = true;
        return answer({0, 0});
    }
    case USBDEVFS_RELEASEINTERFACE:
        d->claimed = false;
        d->released = true;
        return answer({0, 0});
    case USBDEVFS_SUBMITURB:
        return answer(d->submit(resolve(sizeof(usbdevfs_urb))));
    case USBDEVFS_DISCARDURB:
        return answer(d->discard(arg));
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return answer(d->reap(arg));
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
        return answer({0, 0});
    default:
        break;
    }
    d->unknown << QString::number(qulonglong(request), 16);
    return answer({-1, ENOTTY});
}

Reply EmulatedStick::State::submit(UMockdevIoctlData *submitted)
{
    Urb urb;
    urb.urb = reinterpret_cast<usbdevfs_urb *>(submitted->client_addr);
    const auto *fields = reinterpret_cast<const usbdevfs_urb *>(submitted->data);
    if (fields->type != USBDEVFS_URB_TYPE_BULK || fields->buffer_length < 0)
        return Reply{-1, EINVAL};
    urb.in = fields->endpoint & 0x80;
    if (urb.in) {
        if (readsRefused)
            return Reply{-1, EIO};
        reads.push_back(urb);
        return Reply{0, 0};
    }
    // An OUT transfer is taken whole at once; the stick answers each
    // complete command frame.
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
        submitted, offsetof(usbdevfs_urb, buffer), size_t(fields->buffer_length), nullptr);
    const QByteArray bytes(reinterpret_cast<const char *>(buffer->data), fields->buffer_length);
    out += bytes;
    for (const ant::AntMessage &command : decoder.feed(bytes)) {
        written.append(command);
        if (responder)
            for (const ant::AntMessage &reply : responder(command))
                inQueue.push_back(ant::encodeFrame(reply));
    }
    urb.data = bytes;
    done.push_back(urb);
    return Reply{0, 0};
}

Reply EmulatedStick::State::discard(UMockdevIoctlData *arg)
{
    // The argument is the URB's address itself.
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
    for (auto it = reads.begin(); it != reads.end(); ++it) {
        if (quintptr(it->urb) != address)
            continue;
        // With bytes waiting the kernel would have completed the read
        // already: it comes back whole, and the discard fails.
        const bool completed = !inQueue.empty() && !unplugged;
        if (completed) {
            it->data = inQueue.front().left(it->urb->buffer_length);
            inQueue.front().remove(0, it->data.size());
            if (inQueue.front().isEmpty())
                inQueue.pop_front();
        } else {
            it->status = -ENOENT;
        }
        done.push_back(*it);
        reads.erase(it);
        return completed ? Reply{-1, EINVAL} : Reply{0, 0};
    }
    return Reply{-1, EINVAL};
}

Reply EmulatedStick::State::reap(UMockdevIoctlData *arg)
{
    if (done.empty() && !reads.empty()) {
        Urb read = reads.front();
        if (unplugged) {
            // What the host controller gives back when the device goes.
            read.status = -ESHUTDOWN;
        } else if (!inQueue.empty()) {
            QByteArray &next = inQueue.front();
            read.data = next.left(read.urb->buffer_length);
            next.remove(0, read.data.size());
            if (next.isEmpty())
                inQueue.pop_front();
        }
        if (unplugged || !read.data.isEmpty()) {
            done.push_back(read);
            reads.pop_front();
        }
    }
    if (done.empty())
        return Reply{-1, unplugged ? ENODEV : EAGAIN};
    const Urb urb = done.front();
    done.pop_front();
    urb.urb->status = urb.status;
    urb.urb->actual_length = urb.status == 0 ? int(urb.data.size()) : 0;
    if (urb.in && urb.status == 0)
        std::memcpy(urb.urb->buffer, urb.data.constData(), size_t(urb.data.size()));
    usbdevfs_urb *reaped = urb.urb;
    std::memcpy(umockdev_ioctl_data_resolve(arg, 0, sizeof reaped, nullptr)->data, &reaped,
                sizeof reaped);
    return Reply{0, 0};
}

} // namespace pulvane::test
