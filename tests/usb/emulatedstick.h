// ANT bulk sticks emulated at the kernel interface libusb uses, so that the
// real libusb and our real UsbTransport run against them unchanged.
//
// The process must run under umockdev-wrapper (its preload library redirects
// /sys and /dev into the test bed). UsbTestBed adds devices from umockdev
// description files (tests/usb/data) and answers the usbfs ioctls of a stick's
// node through an EmulatedStick: capabilities, driver query and detach, claim
// and release, and bulk URBs submitted, reaped and discarded.
//
// Threads: umockdev runs the ioctl handlers on a thread of its own while the
// caller blocks in ioctl(). EmulatedStick's public functions lock, so a test
// may call them from its own thread at any time.
#pragma once

#include "antframe.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace pulvane::test {

class EmulatedStick
{
public:
    // Which driver the kernel reports bound to interface 0.
    enum class Driver
    {
        None,
        // The kernel's serial driver: ours must detach it and hand it back.
        KernelSerial,
        // Another program claimed the interface through usbfs: the claim fails.
        OtherProgram
    };
    // Answers to one command frame; each reply is returned in a bulk IN
    // transfer of its own.
    using Responder = std::function<QList<ant::AntMessage>(const ant::AntMessage &command)>;

    EmulatedStick();
    ~EmulatedStick();

    void setDriver(Driver driver);
    void setResponder(Responder responder);
    // Bytes the stick returns, one bulk IN transfer per entry, in order.
    void queueIn(const QList<QByteArray> &transfers);
    // The stick is pulled out: the read in flight ends as the kernel ends it
    // on a disconnect, and every later request fails with ENODEV.
    void unplug();
    // Every bulk IN read is refused as it is submitted (EIO), as by a stick
    // that takes the claim but no transfer.
    void refuseReads();

    // What the host did, as the kernel would have seen it.
    QByteArray outBytes() const;
    QList<ant::AntMessage> written() const;
    bool driverDetached() const;
    bool driverReattached() const;
    bool claimed() const;
    bool released() const;
    // Bulk IN reads waiting on the stick.
    int pendingReads() const;
    // Every ioctl on the node so far; a quiet stick sees none.
    int requests() const;
    // Requests the emulation does not know, as hex codes.
    QStringList unknownRequests() const;

    // For UsbTestBed's handler: answers one request and returns true.
    bool handle(void *client);

private:
    struct State;
    std::unique_ptr<State> d;
};

class UsbTestBed
{
public:
    UsbTestBed();
    ~UsbTestBed();
    UsbTestBed(const UsbTestBed &) = delete;
    UsbTestBed &operator=(const UsbTestBed &) = delete;

    // Adds the devices of a description file from tests/usb/data. On failure
    // returns false and error() says why.
    bool addDevices(const QString &fileName);
    // Answers the usbfs ioctls of node (e.g. "/dev/bus/usb/001/002"); the
    // stick lives as long as the test bed.
    EmulatedStick *emulate(const QString &node);
    // Removes the device from /sys and /dev, as udev does after an unplug.
    void remove(const QString &sysfsPath);
    // Makes node unwritable for whoever opens it (see PermissionDropped).
    bool makeUnwritable(const QString &node);
    QString error() const { return m_error; }

private:
    struct Handler;
    void *m_testbed = nullptr;
    QList<std::shared_ptr<Handler>> m_handlers;
    QString m_error;
};

// Runs the rest of a scope as an unprivileged user when the test runs as
// root, who could otherwise open any node whatever its mode.
class PermissionDropped
{
public:
    PermissionDropped();
    ~PermissionDropped();
    bool ok() const { return m_ok; }

private:
    bool m_ok = true;
    bool m_dropped = false;
};

} // namespace pulvane::test
