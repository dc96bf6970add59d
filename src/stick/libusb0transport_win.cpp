#include "libusb0transport_win.h"

#include "libusb0_win.h"
#include "openfailure.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace pulvane::stick {

namespace {

constexpr int kInterface = 0;
constexpr int kConfiguration = 1;
// Each read asks for this much; a read ends at the stick's first short packet.
constexpr int kReadSize = 512;

// The library's errno-style codes (those of the Windows C runtime).
constexpr int kNoEntry = -2;
constexpr int kAccessDenied = -13;
constexpr int kBusy = -16;
constexpr int kNoDevice = -19;

// Why an open failed, from the library's result code and its text.
QString openFailure(int code, const QString &what, const QString &libraryText)
{
    switch (code) {
    case kNoEntry:
    case kNoDevice:
        return goneReason(what);
    case kBusy:
    case kAccessDenied:
        // The driver lets one program at a time claim the stick.
        return busyReason(what, QString());
    default:
        return otherReason(what, libraryText);
    }
}

} // namespace

// What the reading thread shares with the transport. The thread holds it for
// as long as it runs, so a thread left to finish alone still has it.
struct Libusb0Transport::Reader
{
    std::shared_ptr<const libusb0::Library> library;
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

    static void run(const std::shared_ptr<Reader> &self)
    {
        char buffer[kReadSize];
        bool reading = true;
        while (reading) {
            const int n = self->library->bulkRead(self->handle, kInEndpoint, buffer, kReadSize,
                                                  kReadTimeoutMs);
            const bool failed = n < 0 && n != libusb0::kTimedOut;
            std::lock_guard<std::mutex> guard(self->lock);
            if (self->stop)
                break;
            Libusb0Transport *owner = self->owner;
            if (n > 0) {
                QMetaObject::invokeMethod(
                    owner,
                    [owner, self, bytes = QByteArray(buffer, n)] { owner->deliver(self, bytes); },
                    Qt::QueuedConnection);
            } else if (failed) {
                QMetaObject::invokeMethod(
                    owner, [owner, self] { owner->readerLost(self); }, Qt::QueuedConnection);
                reading = false;
            }
        }
        std::lock_guard<std::mutex> guard(self->lock);
        self->finished = true;
        if (self->abandoned)
            self->releaseDevice();
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
    libusb0::DevHandle *handle = m_library->open(device);
    if (!handle) {
        *why = otherReason(m_description, m_library->lastError(QStringLiteral("usb_open failed")));
        return false;
    }
    int rc = m_library->setConfiguration(handle, kConfiguration);
    if (rc >= 0)
        rc = m_library->claimInterface(handle, kInterface);
    if (rc < 0) {
        *why = openFailure(rc, m_description,
                           m_library->lastError(QStringLiteral("error %1").arg(rc)));
        m_library->close(handle);
        return false;
    }

    auto reader = std::make_shared<Reader>();
    reader->library = m_library;
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
