// The sticks' own drivers as Windows tells them: SetupAPI's USB devices with
// their bound driver service, and the sticks the libusb-win32 driver's
// library lists.
#include "stickdrivers.h"

#include "comports.h"
#include "libusb0_win.h"
#include "libusb0transport_win.h"
#include "openfailure.h"
#include "setupapi_win.h"
#include "stickscan.h"

#include <cfgmgr32.h>

#include <algorithm>
#include <string>

namespace pulvane::stick {

namespace {

// The file name of a driver service's image ("System32\DRIVERS\libusb0.sys"),
// from its key under Services.
QString serviceImage(const QString &service)
{
    const std::wstring key =
        (QStringLiteral("SYSTEM\\CurrentControlSet\\Services\\") + service).toStdWString();
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof path - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ImagePath",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, path,
                     &size) != ERROR_SUCCESS)
        return {};
    const QString image = QString::fromWCharArray(path);
    return image.mid(image.lastIndexOf(QLatin1Char('\\')) + 1);
}

bool isLibusb0Service(const QString &service)
{
    return !service.isEmpty() &&
           (service.compare(QLatin1String("libusb0"), Qt::CaseInsensitive) == 0 ||
            serviceImage(service).compare(QLatin1String("libusb0.sys"), Qt::CaseInsensitive) == 0);
}

StickDriverFound stickDriverOf(HDEVINFO set, SP_DEVINFO_DATA *info, uint16_t productId)
{
    StickDriverFound stick;
    stick.productId = productId;
    stick.service = deviceProperty(set, info, SPDRP_SERVICE).value(0);
    stick.location = deviceProperty(set, info, SPDRP_LOCATION_INFORMATION).value(0);
    stick.portNumbers = usbPortsFromLocationPaths(deviceProperty(set, info, SPDRP_LOCATION_PATHS));
    if (stick.portNumbers.isEmpty()) {
        if (const int port = usbPortFromLocationInformation(stick.location); port > 0) {
            stick.portNumbers = {port};
            stick.ownPortOnly = true;
        }
    }
    stick.libusb0Driver = isLibusb0Service(stick.service);
    for (const QString &filter : deviceProperty(set, info, SPDRP_UPPERFILTERS))
        stick.libusb0Driver = stick.libusb0Driver || isLibusb0Service(filter);
    ULONG status = 0;
    ULONG problem = 0;
    if (CM_Get_DevNode_Status(&status, &problem, info->DevInst, 0) == CR_SUCCESS &&
        (status & DN_HAS_PROBLEM))
        stick.problem = problem;
    return stick;
}

// The bulk sticks libusb0.dll lists after listing its devices afresh.
QList<BulkStickFound> libusb0SticksOf(const libusb0::Library &library)
{
    QList<BulkStickFound> found;
    library.findBusses();
    library.findDevices();
    for (libusb0::Bus *bus = library.getBusses(); bus; bus = bus->next) {
        for (libusb0::Device *device = bus->devices; device; device = device->next) {
            const libusb0::DeviceDescriptor &descriptor = device->descriptor;
            if (!isAntStick(descriptor.idVendor, descriptor.idProduct) ||
                descriptor.idProduct == kBridgeStickProductId)
                continue;
            found << libusb0StickFound(
                QString::fromLocal8Bit(
                    device->filename,
                    qsizetype(qstrnlen(device->filename, sizeof device->filename))),
                descriptor.idProduct);
        }
    }
    return found;
}

} // namespace

QList<StickDriverFound> scanStickDrivers()
{
    QList<StickDriverFound> found;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return found;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        const std::optional<UsbIds> ids =
            usbIdsFromHardwareIds(deviceProperty(set, &info, SPDRP_HARDWAREID));
        if (ids && isAntStick(ids->vendorId, ids->productId))
            found << stickDriverOf(set, &info, ids->productId);
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

DriverScan scanDrivers()
{
    DriverScan scan;
    libusb0::Library::Loaded loaded = libusb0::Library::load();
    scan.library = std::move(loaded.library);
    scan.libraryFailure = loaded.why;
    if (scan.library)
        scan.libusb0Sticks = libusb0SticksOf(*scan.library);
    return scan;
}

const QList<StickDriverFound> &driversOf(DriverScan &scan)
{
    if (!scan.drivers)
        scan.drivers = scanStickDrivers();
    return *scan.drivers;
}

QStringList stickDriverLines(DriverScan &scan)
{
    QStringList lines;
    QString loadFailure = scan.libraryFailure;
    const QList<BulkStickFound> &listed = scan.libusb0Sticks;
    for (const StickDriverFound &stick : driversOf(scan)) {
        // libusb0.dll names its sticks by number only: a stick of the same
        // product is the nearest it comes to saying it lists this one.
        const bool sameProductListed =
            std::any_of(listed.begin(), listed.end(), [&stick](const BulkStickFound &l) {
                return l.location.productId == stick.productId;
            });
        lines << stickDriverLine(stick, !scan.library       ? Libusb0Listing::LibraryMissing
                                        : sameProductListed ? Libusb0Listing::StickListed
                                                            : Libusb0Listing::StickNotListed);
        // Why the library did not load (not found, or built for another
        // architecture), once, after the first stick that needs it.
        if (!scan.library && servedByLibusb0(stick) && !loadFailure.isEmpty()) {
            lines << loadFailure;
            loadFailure.clear();
        }
    }
    return lines;
}

QStringList stickLibraryLines(const DriverScan &scan)
{
    return scan.library ? QStringList{scan.library->versionLine()} : QStringList{};
}

ant::OpenedStick openBulkStick(const StickLocation &stick)
{
    if (stick.kind != StickLocation::Kind::Libusb0)
        return openLibusbStick(stick);
    const libusb0::Library::Loaded loaded = libusb0::Library::load();
    // Listed a moment ago, so the library went away in between.
    if (!loaded)
        return {nullptr, otherReason(stick.description, loaded.why)};
    auto transport = std::make_unique<Libusb0Transport>(loaded.library, stick.path,
                                                        stick.description);
    if (ant::Refusal refused = transport->open())
        return {nullptr, *refused};
    return {std::move(transport), {}};
}

} // namespace pulvane::stick
