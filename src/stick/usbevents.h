// How libusb's events get handled for a UsbTransport, given to it by whoever
// makes it (openLibusbStick: usbEventDriverForPlatform()).
//
// - UsbDescriptorWatch (Linux): libusb's descriptors are watched with socket
//   notifiers on the thread that owns the transport (the window's); the
//   transport handles the events, without blocking, when one is ready, and
//   the transfer callbacks run on that thread.
// - UsbEventThreadDriver (Windows, where libusb offers no descriptors): the
//   events are handled on a thread of their own (UsbEventThread); the
//   transfer callbacks run there, and what they hand on travels as a queued
//   call carrying its own copy of the bytes.
#pragma once

#include <QList>

#include <functional>
#include <memory>

struct libusb_context;
class QSocketNotifier;

namespace pulvane::stick {

class UsbEventThread;

class UsbEventDriver
{
public:
    virtual ~UsbEventDriver() = default;
    // Starts on an open context. ready is called on the owner's thread when
    // the owner should handle libusb's events itself (descriptor watching).
    virtual void start(libusb_context *context, std::function<void()> ready) = 0;
    // True when transfer callbacks run on a thread of their own.
    virtual bool callsBackElsewhere() const = 0;
    // While close() waits for cancelled transfers: lets about 20 ms of
    // libusb's events be handled.
    virtual void letEventsRun(libusb_context *context) = 0;
    // The stick is gone: nothing more to watch until stop().
    virtual void quiet() {}
    // No callback runs after this returns. Not from a transfer callback.
    virtual void stop() = 0;
};

class UsbDescriptorWatch : public UsbEventDriver
{
public:
    ~UsbDescriptorWatch() override;
    void start(libusb_context *context, std::function<void()> ready) override;
    bool callsBackElsewhere() const override { return false; }
    void letEventsRun(libusb_context *context) override;
    void quiet() override;
    void stop() override;

private:
    static void onPollfdAdded(int fd, short events, void *self);
    static void onPollfdRemoved(int fd, void *self);
    void watch(int fd, short events);
    void unwatch(int fd);

    libusb_context *m_context = nullptr;
    std::function<void()> m_ready;
    QList<QSocketNotifier *> m_notifiers;
};

class UsbEventThreadDriver : public UsbEventDriver
{
public:
    UsbEventThreadDriver();
    ~UsbEventThreadDriver() override;
    void start(libusb_context *context, std::function<void()> ready) override;
    bool callsBackElsewhere() const override { return true; }
    void letEventsRun(libusb_context *context) override;
    void stop() override;

private:
    std::unique_ptr<UsbEventThread> m_thread;
};

// The driver this platform's libusb needs (usbevents_linux.cpp,
// usbevents_win.cpp).
std::unique_ptr<UsbEventDriver> usbEventDriverForPlatform();

} // namespace pulvane::stick
