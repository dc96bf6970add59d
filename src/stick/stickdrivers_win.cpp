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

namespace pulvane::stick {

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
        if (!ids || !isAntStick(ids->vendorId, ids->productId))
            continue;
        StickDriverFound stick;
        stick.productId = ids->productId;
        stick.service = deviceProperty(set, &info, SPDRP_SERVICE).value(0);
        stick.location = deviceProperty(set, &info, SPDRP_LOCATION_INFORMATION).value(0);
        stick.portNumbers =
            usbPortsFromLocationPath(deviceProperty(set, &info, SPDRP_LOCATION_PATHS).value(0));
        ULONG status = 0;
        ULONG problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, info.DevInst, 0) == CR_SUCCESS &&
            (status & DN_HAS_PROBLEM))
            stick.problem = problem;
        found << stick;
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

QStringList stickDriverLines()
{
    QStringList lines;
    QString loadFailure;
    const bool libusb0Present = libusb0::Library::load(&loadFailure) != nullptr;
    const QList<BulkStickFound> listed =
        libusb0Present ? scanLibusb0Sticks() : QList<BulkStickFound>{};
    for (const StickDriverFound &stick : scanStickDrivers()) {
        // libusb0.dll names its sticks by number only: a stick of the same
        // product is the nearest it comes to saying it lists this one.
        const bool sameProductListed =
            std::any_of(listed.begin(), listed.end(), [&stick](const BulkStickFound &l) {
                return l.location.productId == stick.productId;
            });
        lines << stickDriverLine(stick, !libusb0Present     ? Libusb0Listing::LibraryMissing
                                        : sameProductListed ? Libusb0Listing::StickListed
                                                            : Libusb0Listing::StickNotListed);
        // Why the library did not load (not found, or built for another
        // architecture), once, after the first stick that needs it.
        if (!libusb0Present &&
            stick.service.compare(QLatin1String("libusb0"), Qt::CaseInsensitive) == 0 &&
            !loadFailure.isEmpty()) {
            lines << loadFailure;
            loadFailure.clear();
        }
    }
    return lines;
}

QStringList stickLibraryLines()
{
    const std::shared_ptr<const libusb0::Library> library = libusb0::Library::load();
    return library ? QStringList{library->versionLine()} : QStringList{};
}

QList<BulkStickFound> scanLibusb0Sticks()
{
    QList<BulkStickFound> found;
    const std::shared_ptr<const libusb0::Library> library = libusb0::Library::load();
    if (!library)
        return found;
    library->findBusses();
    library->findDevices();
    for (libusb0::Bus *bus = library->getBusses(); bus; bus = bus->next) {
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

std::unique_ptr<ant::Transport> openBulkStick(const StickLocation &stick, QString *why)
{
    if (stick.kind != StickLocation::Kind::Libusb0)
        return openLibusbStick(stick, why);
    QString reason;
    const std::shared_ptr<const libusb0::Library> library = libusb0::Library::load(&reason);
    if (!library) {
        // Listed a moment ago, so the library went away in between.
        if (why)
            *why = otherReason(stick.description, reason);
        return nullptr;
    }
    auto transport = std::make_unique<Libusb0Transport>(library, stick.path, stick.description);
    if (transport->open(&reason))
        return transport;
    if (why)
        *why = reason;
    return nullptr;
}

} // namespace pulvane::stick
