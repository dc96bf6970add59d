// The test bed: umockdev's devices from a recorded file, and an ioctl
// handler per node that hands each request to its EmulatedStick.
// umockdev first: its GLib headers must not see Qt's keyword macros.
#include <umockdev.h>

#include "emulatedstick.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pulvane::test {

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
