#include "libusb0_win.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include <windows.h>

namespace pulvane::stick::libusb0 {

namespace {

// Fills one call from the library; false when the library lacks it.
template <typename Fn> bool resolve(HMODULE module, const char *name, Fn *call)
{
    *call = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *call != nullptr;
}

// "error 126: The specified module could not be found." for a failed load.
QString systemError(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = n ? QString::fromWCharArray(text, int(n)).trimmed() : QString();
    LocalFree(text);
    // 193 reads "%1 is not a valid Win32 application."
    message.replace(QStringLiteral("%1"), QStringLiteral("libusb0.dll"));
    return message.isEmpty() ? QStringLiteral("error %1").arg(code)
                             : QStringLiteral("error %1: %2").arg(code).arg(message);
}

QString versionText(const Version::Part &part)
{
    if (part.major < 0)
        return QStringLiteral("unknown");
    return QStringLiteral("%1.%2.%3.%4")
        .arg(part.major)
        .arg(part.minor)
        .arg(part.micro)
        .arg(part.nano);
}

// A reap's kTimedOut that comes back sooner than this part of its wait is a
// transfer that ended, not a wait that timed out.
constexpr int kEndedBeforeDivisor = 2;
// The step of the wait for a cancelled transfer to be given back.
constexpr int kCancelReapMs = 100;

} // namespace

struct Library::Readers
{
    std::mutex lock;
    std::condition_variable letGo;
    // Device name → readers of ours still holding it.
    std::map<QString, int> out;
};

Library::Loaded Library::load()
{
    // The one loaded copy while anyone holds it (see the class comment).
    static std::mutex loading;
    static std::weak_ptr<const Library> loaded;
    const std::lock_guard<std::mutex> guard(loading);
    if (std::shared_ptr<const Library> library = loaded.lock())
        return {library, {}};

    // System32 only, for the library and whatever it needs in turn: the
    // driver package puts it there, and nothing planted elsewhere is taken.
    HMODULE module = LoadLibraryExW(L"libusb0.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
        // 126: not there; 193: built for another architecture.
        return {nullptr, QStringLiteral("libusb0.dll could not be loaded from System32 (%1)")
                             .arg(systemError(GetLastError()))};
    }
    std::shared_ptr<Library> library(new Library());
    library->m_module = module;
    library->m_readers = std::make_unique<Readers>();
    Calls &calls = library->m_calls;
    const char *missing = nullptr;
    const auto need = [&](const char *name, auto *call) {
        if (!missing && !resolve(module, name, call))
            missing = name;
    };
    need("usb_init", &calls.init);
    need("usb_find_busses", &calls.findBusses);
    need("usb_find_devices", &calls.findDevices);
    need("usb_get_busses", &calls.getBusses);
    need("usb_open", &calls.open);
    need("usb_close", &calls.close);
    need("usb_set_configuration", &calls.setConfiguration);
    need("usb_claim_interface", &calls.claimInterface);
    need("usb_release_interface", &calls.releaseInterface);
    need("usb_bulk_setup_async", &calls.bulkSetupAsync);
    need("usb_submit_async", &calls.submitAsync);
    need("usb_reap_async_nocancel", &calls.reapAsyncNocancel);
    need("usb_cancel_async", &calls.cancelAsync);
    need("usb_free_async", &calls.freeAsync);
    need("usb_get_version", &calls.getVersion);
    need("usb_strerror", &calls.strerror);
    if (missing) {
        return {nullptr,
                QStringLiteral("libusb0.dll in System32 has no %1").arg(QLatin1String(missing))};
    }
    calls.init();
    loaded = library;
    return {library, {}};
}

QString Library::loadFailure()
{
    return load().why;
}

Library::~Library()
{
    if (m_module)
        FreeLibrary(static_cast<HMODULE>(m_module));
}

QString Library::versionLine() const
{
    m_calls.init();
    const Version *version = m_calls.getVersion();
    if (!version)
        return QStringLiteral("libusb0.dll in System32 gives no version");
    return QStringLiteral("libusb0.dll %1, driver libusb0.sys %2")
        .arg(versionText(version->dll), versionText(version->driver));
}

void Library::takeError(int result, QString *error, const char *call) const
{
    if (result >= 0 || !error)
        return;
    const char *text = m_calls.strerror();
    *error = text && *text ? QString::fromLocal8Bit(text).trimmed()
                           : QStringLiteral("%1 failed (%2)").arg(QLatin1String(call)).arg(result);
}

DevHandle *Library::open(Device *device, QString *error) const
{
    DevHandle *handle = m_calls.open(device);
    if (!handle)
        takeError(-1, error, "usb_open");
    return handle;
}

int Library::setConfiguration(DevHandle *handle, int configuration, QString *error) const
{
    const int rc = m_calls.setConfiguration(handle, configuration);
    takeError(rc, error, "usb_set_configuration");
    return rc;
}

int Library::claimInterface(DevHandle *handle, int number, QString *error) const
{
    const int rc = m_calls.claimInterface(handle, number);
    takeError(rc, error, "usb_claim_interface");
    return rc;
}

int Library::releaseInterface(DevHandle *handle, int number) const
{
    return m_calls.releaseInterface(handle, number);
}

Device *Library::listed(const QString &name) const
{
    const QByteArray wanted = name.toLocal8Bit();
    for (Bus *bus = m_calls.getBusses(); bus; bus = bus->next)
        for (Device *device = bus->devices; device; device = device->next)
            if (qstrncmp(device->filename, wanted.constData(), sizeof device->filename) == 0)
                return device;
    return nullptr;
}

Device *Library::listedAfresh(const QString &name) const
{
    m_calls.findBusses();
    m_calls.findDevices();
    return listed(name);
}

int Library::bulkSetupAsync(DevHandle *handle, void **context, int endpoint, QString *error) const
{
    const int rc = m_calls.bulkSetupAsync(handle, context, static_cast<unsigned char>(endpoint));
    takeError(rc, error, "usb_bulk_setup_async");
    return rc;
}

int Library::submitAsync(void *context, char *bytes, int size, QString *error) const
{
    const int rc = m_calls.submitAsync(context, bytes, size);
    takeError(rc, error, "usb_submit_async");
    return rc;
}

int Library::reapAsyncNocancel(void *context, int timeoutMs, bool *ended, QString *error) const
{
    const auto start = std::chrono::steady_clock::now();
    const int rc = m_calls.reapAsyncNocancel(context, timeoutMs);
    if (rc != kTimedOut) {
        takeError(rc, error, "usb_reap_async_nocancel");
        *ended = true;
        return rc;
    }
    // The library's event stays set once its transfer has ended: a wait
    // that returns long before its time-out found it so.
    const auto waited = std::chrono::steady_clock::now() - start;
    *ended = waited < std::chrono::milliseconds(timeoutMs / kEndedBeforeDivisor);
    return rc;
}

bool Library::cancelAndFree(void **context, int timeoutMs) const
{
    m_calls.cancelAsync(*context);
    // A cancelled transfer is reaped as kTimedOut once given back.
    bool ended = false;
    for (int waited = 0; !ended && waited < timeoutMs; waited += kCancelReapMs)
        reapAsyncNocancel(*context, kCancelReapMs, &ended, nullptr);
    if (!ended)
        return false;
    m_calls.freeAsync(context);
    return true;
}

void Library::readerOut(const QString &deviceName) const
{
    const std::lock_guard<std::mutex> guard(m_readers->lock);
    ++m_readers->out[deviceName];
}

void Library::readerLetGo(const QString &deviceName) const
{
    const std::lock_guard<std::mutex> guard(m_readers->lock);
    const auto it = m_readers->out.find(deviceName);
    if (it != m_readers->out.end() && --it->second <= 0)
        m_readers->out.erase(it);
    m_readers->letGo.notify_all();
}

bool Library::waitForReaders(const QString &deviceName, int timeoutMs) const
{
    std::unique_lock<std::mutex> guard(m_readers->lock);
    return m_readers->letGo.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_readers->out.count(deviceName) == 0; });
}

} // namespace pulvane::stick::libusb0
