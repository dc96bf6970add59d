#include "libusb0_win.h"

#include <QString>

#include <windows.h>

namespace pulvane::stick::libusb0 {

namespace {

// Fills one call from the library; false when the library lacks it.
template <typename Fn> bool resolve(HMODULE module, const char *name, Fn *call)
{
    *call = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return *call != nullptr;
}

} // namespace

std::shared_ptr<const Library> Library::load(QString *why)
{
    // System32 only, for the library and whatever it needs in turn: the
    // driver package puts it there, and nothing planted elsewhere is taken.
    HMODULE module = LoadLibraryExW(L"libusb0.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
        if (why)
            *why = QStringLiteral("libusb0.dll is not in System32");
        return nullptr;
    }
    std::shared_ptr<Library> library(new Library());
    library->m_module = module;
    const char *missing = nullptr;
    const auto need = [&](const char *name, auto *call) {
        if (!missing && !resolve(module, name, call))
            missing = name;
    };
    need("usb_init", &library->init);
    need("usb_find_busses", &library->findBusses);
    need("usb_find_devices", &library->findDevices);
    need("usb_get_busses", &library->getBusses);
    need("usb_open", &library->open);
    need("usb_close", &library->close);
    need("usb_set_configuration", &library->setConfiguration);
    need("usb_claim_interface", &library->claimInterface);
    need("usb_release_interface", &library->releaseInterface);
    need("usb_bulk_write", &library->bulkWrite);
    need("usb_bulk_read", &library->bulkRead);
    need("usb_strerror", &library->strerror);
    if (missing) {
        if (why)
            *why = QStringLiteral("libusb0.dll in System32 has no %1").arg(QLatin1String(missing));
        return nullptr;
    }
    library->init();
    return library;
}

Library::~Library()
{
    if (m_module)
        FreeLibrary(static_cast<HMODULE>(m_module));
}

QString Library::lastError(const QString &fallback) const
{
    const char *text = strerror();
    return text && *text ? QString::fromLocal8Bit(text).trimmed() : fallback;
}

} // namespace pulvane::stick::libusb0
