#include "libusb0transport_win.h"

#include "libusb0_win.h"
#include "openfailure.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace pulvane::stick {

namespace {

constexpr int kInterface = 0;
constexpr int kConfiguration = 1;

// The library's errno-style codes (those of the Windows C runtime) for a
// device that is not there.
constexpr int kNoEntry = -2;
constexpr int kNoDevice = -19;

// Why the claim failed, from the library's result code and its text. The
// stick was listed a moment ago: unless it went since, the driver refused it
// because another program has it claimed (one at a time).
QString claimFailure(int code, const QString &what, const QString &libraryText)
{
    if (code == kNoEntry || code == kNoDevice)
        return goneReason(what);
    return QStringLiteral("%1 (%2)").arg(busyReason(what, QString()), libraryText);
}

} // namespace

// What the reading thread shares with the transport. The thread holds it for
// as long as it runs, so a thread left to finish alone still has it.
struct Libusb0Transport::Reader
{
    std::shared_ptr<const libusb0::Library> library;
    QString deviceName;
    libusb0::DevHandle *handle = nullptr;
    Libusb0Transport *owner = nullptr;

    std::mutex lock;
    std::condition_variable ended;
    // Set by close(): nothing is posted to the owner after it.
    bool stop = false;
    // The thread has read for the last time.
    bool finished = false;
    // close() stopped waiting: the thread releases the device when done.
    bool abandoned = false;
    std::thread thread;

    void releaseDevice()
    {
        library->releaseInterface(handle, kInterface);
        library->close(handle);
        handle = nullptr;
    }

    bool stopping()
    {
        const std::lock_guard<std::mutex> guard(lock);
        return stop;
    }

    // Queues a call on the owner unless close() has begun.
    template <typename Call> void post(Call call)
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (!stop)
            QMetaObject::invokeMethod(owner, std::move(call), Qt::QueuedConnection);
    }

    static void run(const std::shared_ptr<Reader> &self)
    {
        const libusb0::Library &library = *self->library;
        Libusb0Transport *owner = self->owner;
        char buffer[kReadSize];
        void *context = nullptr;
        bool pending = false;
        bool failed = library.bulkSetupAsync(self->handle, &context, kInEndpoint, nullptr) < 0;
        while (!failed && !self->stopping()) {
            if (!pending) {
                failed = library.submitAsync(context, buffer, kReadSize, nullptr) < 0;
                pending = !failed;
                continue;
            }
            const int n = library.reapAsyncNocancel(context, kReadTimeoutMs, nullptr);
            if (n == libusb0::kTimedOut)
                continue;
            pending = false;
            failed = n < 0;
            if (n > 0)
                self->post(
                    [owner, self, bytes = QByteArray(buffer, n)] { owner->deliver(self, bytes); });
        }
        if (failed)
            self->post([owner, self] { owner->readerLost(self); });
        if (pending) {
            library.cancelAsync(context);
            // A cancelled transfer is freed only once reaped. One the library
            // does not give back is left to it: a leak, where freeing it
            // under the driver would corrupt memory.
            if (library.reapAsyncNocancel(context, kCloseWaitMs, nullptr) == libusb0::kTimedOut)
                context = nullptr;
        }
        if (context)
            library.freeAsync(&context);

        const std::lock_guard<std::mutex> guard(self->lock);
        self->finished = true;
        if (self->abandoned) {
            self->releaseDevice();
            self->library->readerLetGo(self->deviceName);
        }
        self->ended.notify_all();
    }
};

Libusb0Transport::Libusb0Transport(std::shared_ptr<const libusb0::Library> library,
                                   const QString &deviceName, const QString &description,
                                   QObject *parent)
    : ant::Transport(parent), m_library(std::move(library)), m_deviceName(deviceName),
      m_description(description)
{}

Libusb0Transport::~Libusb0Transport()
{
    close();
}

bool Libusb0Transport::open(QString *why)
{
    close();
    // A reader of ours that close() stopped waiting for still has the stick
    // claimed: that is not another program, and it may let go soon.
    if (!m_library->waitForReaders(m_deviceName, kCloseWaitMs)) {
        *why = otherReason(m_description,
                           QStringLiteral("the previous opening's read has not returned; press "
                                          "START again, or unplug the stick and plug it in again"));
        return false;
    }
    m_library->findBusses();
    m_library->findDevices();
    const QByteArray name = m_deviceName.toLocal8Bit();
    libusb0::Device *device = nullptr;
    for (libusb0::Bus *bus = m_library->getBusses(); bus && !device; bus = bus->next)
        for (libusb0::Device *d = bus->devices; d && !device; d = d->next)
            if (qstrncmp(d->filename, name.constData(), sizeof d->filename) == 0)
                device = d;
    if (!device) {
        *why = goneReason(m_description);
        return false;
    }
    QString error;
    libusb0::DevHandle *handle = m_library->open(device, &error);
    if (!handle) {
        *why = otherReason(m_description, error);
        return false;
    }
    // Setting a configuration can act as a reset of a stick that has one,
    // under the program that holds it: only a stick without one gets it.
    // Where the stick does not say, it is tried. A refusal is not final
    // either way: the claim decides.
    QString ignored;
    if (m_library->configuration(handle, &ignored) <= 0)
        m_library->setConfiguration(handle, kConfiguration, &ignored);
    const int rc = m_library->claimInterface(handle, kInterface, &error);
    if (rc < 0) {
        *why = claimFailure(rc, m_description, error);
        m_library->close(handle);
        return false;
    }

    auto reader = std::make_shared<Reader>();
    reader->library = m_library;
    reader->deviceName = m_deviceName;
    reader->handle = handle;
    reader->owner = this;
    reader->thread = std::thread(&Reader::run, reader);
    m_reader = std::move(reader);
    m_gone = false;
    return true;
}

bool Libusb0Transport::write(const QByteArray &bytes)
{
    if (!isOpen() || bytes.isEmpty())
        return false;
    // The library takes the bytes through a pointer to non-const.
    QByteArray copy = bytes;
    const int n = m_library->bulkWrite(m_reader->handle, kOutEndpoint, copy.data(),
                                       int(copy.size()), kWriteTimeoutMs);
    if (n == copy.size())
        return true;
    // A short write or a time-out loses this frame; the stick may still answer.
    if (n >= 0 || n == libusb0::kTimedOut)
        return false;
    fail();
    return false;
}

bool Libusb0Transport::isOpen() const
{
    return m_reader && !m_gone;
}

void Libusb0Transport::close()
{
    if (!m_reader)
        return;
    const std::shared_ptr<Reader> reader = std::move(m_reader);
    std::unique_lock<std::mutex> guard(reader->lock);
    reader->stop = true;
    // The device is released only once no read is inside the library.
    if (reader->ended.wait_for(guard, std::chrono::milliseconds(kCloseWaitMs),
                               [&] { return reader->finished; })) {
        guard.unlock();
        reader->thread.join();
        reader->releaseDevice();
    } else {
        reader->abandoned = true;
        // Under the reader's lock, so that the thread's letting go comes after.
        m_library->readerOut(m_deviceName);
        guard.unlock();
        reader->thread.detach();
    }
    m_gone = false;
}

QString Libusb0Transport::description() const
{
    return m_description;
}

void Libusb0Transport::deliver(const std::shared_ptr<Reader> &reader, const QByteArray &bytes)
{
    if (reader == m_reader && !m_gone)
        emit bytesArrived(bytes);
}

void Libusb0Transport::readerLost(const std::shared_ptr<Reader> &reader)
{
    if (reader == m_reader)
        fail();
}

void Libusb0Transport::fail()
{
    if (m_gone)
        return;
    m_gone = true;
    // The library's codes cannot tell a stick pulled out from one that
    // stopped answering: either way it is gone.
    emit gone(unpluggedReason(Link::Usb));
}

} // namespace pulvane::stick
