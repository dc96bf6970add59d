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
// The library's code for a claim without a configuration (libraries of the
// 0.1.12 era, when setting one failed too).
constexpr int kInvalid = -22;
// Transfers in a row that end aborted with nothing read before the stick
// counts as gone: a port reset or a resume ends one, a stick that keeps
// ending them at once is not there any more.
constexpr int kAbortedInARow = 3;

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
        // On the heap: a transfer the library does not give back keeps it.
        auto buffer = std::make_unique<char[]>(kReadSize);
        void *context = nullptr;
        bool pending = false;
        int aborted = 0;
        bool failed = library.bulkSetupAsync(self->handle, &context, kInEndpoint, nullptr) < 0;
        while (!failed && !self->stopping()) {
            if (!pending) {
                // Fails (kIoError) on a stick that was pulled out.
                failed = library.submitAsync(context, buffer.get(), kReadSize, nullptr) < 0;
                pending = !failed;
                continue;
            }
            bool ended = false;
            const int n = library.reapAsyncNocancel(context, kReadTimeoutMs, &ended, nullptr);
            if (!ended)
                continue;
            pending = false;
            // Ended aborted: by an unplug, a port reset, a sleep, or another
            // program. Its bytes are lost; the next submit tells which.
            if (n == libusb0::kTimedOut) {
                failed = ++aborted >= kAbortedInARow;
                continue;
            }
            aborted = 0;
            failed = n < 0;
            if (n > 0)
                self->post([owner, self, bytes = QByteArray(buffer.get(), n)] {
                    owner->deliver(self, bytes);
                });
        }
        if (failed)
            self->post([owner, self] { owner->readerLost(self); });
        // One the library does not give back is left to it (see cancelAndFree).
        if (pending && !library.cancelAndFree(&context, kCloseWaitMs)) {
            context = nullptr;
            (void)buffer.release();
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

ant::Refusal Libusb0Transport::open()
{
    close();
    // A reader of ours that close() stopped waiting for still has the stick
    // claimed: that is not another program, and it may let go soon.
    if (!m_library->waitForReaders(m_deviceName, kCloseWaitMs)) {
        return otherReason(m_description,
                           QStringLiteral("the previous opening's read has not returned; press "
                                          "START again, or unplug the stick and plug it in again"));
    }
    // The START's scan has just listed the devices; a transport opened on
    // its own has them listed.
    libusb0::Device *device = m_library->listed(m_deviceName);
    if (!device)
        device = m_library->listedAfresh(m_deviceName);
    if (!device) {
        return goneReason(m_description);
    }
    QString error;
    libusb0::DevHandle *handle = m_library->open(device, &error);
    if (!handle) {
        return m_library->listedAfresh(m_deviceName) ? otherReason(m_description, error)
                                                     : goneReason(m_description);
    }
    // Configuration 1 is no reset: the library and the driver answer at once
    // when the stick has it already. Libraries of the 0.1.12 era know of no
    // configuration until one is set, and refuse the claim without it. The
    // claim decides.
    QString ignored;
    m_library->setConfiguration(handle, kConfiguration, &ignored);
    const int rc = m_library->claimInterface(handle, kInterface, &error);
    if (rc < 0) {
        m_library->close(handle);
        // The driver refuses a held stick and a removed one alike: listed
        // again, a stick still there is another program's.
        if (rc == kInvalid)
            return otherReason(m_description, error);
        if (!m_library->listedAfresh(m_deviceName))
            return goneReason(m_description);
        return QStringLiteral("%1 (%2)").arg(busyReason(m_description, QString()), error);
    }

    auto reader = std::make_shared<Reader>();
    reader->library = m_library;
    reader->deviceName = m_deviceName;
    reader->handle = handle;
    reader->owner = this;
    reader->thread = std::thread(&Reader::run, reader);
    m_reader = std::move(reader);
    m_gone = false;
    return std::nullopt;
}

bool Libusb0Transport::write(const QByteArray &bytes)
{
    if (!isOpen() || bytes.isEmpty())
        return false;
    // The library takes the bytes through a pointer to non-const, and keeps
    // it until the transfer is given back.
    const int size = int(bytes.size());
    auto buffer = std::make_unique<char[]>(size_t(size));
    std::memcpy(buffer.get(), bytes.constData(), size_t(size));
    void *context = nullptr;
    int n = m_library->bulkSetupAsync(m_reader->handle, &context, kOutEndpoint, nullptr);
    bool ended = true;
    if (n >= 0)
        n = m_library->submitAsync(context, buffer.get(), size, nullptr);
    if (n >= 0)
        n = m_library->reapAsyncNocancel(context, kWriteTimeoutMs, &ended, nullptr);
    if (!ended) {
        // Never freed under the driver: a write it does not give back keeps
        // its context and bytes.
        if (!m_library->cancelAndFree(&context, kCloseWaitMs))
            (void)buffer.release();
        return false;
    }
    if (context)
        m_library->freeAsync(&context);
    if (n == size)
        return true;
    // A short write or one ended aborted loses this frame; the stick may
    // still answer, and the reader sees an unplug.
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
