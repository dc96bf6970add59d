#include "usbevents.h"

#include "usbeventthread.h"

#include <QSocketNotifier>
#include <QThread>

// timeval and POLLIN/POLLOUT live in different system headers: winsock2.h on
// Windows (it must come ahead of the windows.h that libusb.h includes),
// poll.h and sys/time.h elsewhere.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#include <sys/time.h>
#endif
#include <libusb.h>

namespace pulvane::stick {

UsbDescriptorWatch::~UsbDescriptorWatch()
{
    stop();
}

void UsbDescriptorWatch::start(libusb_context *context, std::function<void()> ready)
{
    m_context = context;
    m_ready = std::move(ready);
    if (const libusb_pollfd **fds = libusb_get_pollfds(context)) {
        for (const libusb_pollfd **p = fds; *p; ++p)
            watch((*p)->fd, (*p)->events);
        libusb_free_pollfds(fds);
    }
    libusb_set_pollfd_notifiers(context, &UsbDescriptorWatch::onPollfdAdded,
                                &UsbDescriptorWatch::onPollfdRemoved, this);
}

void UsbDescriptorWatch::letEventsRun(libusb_context *context)
{
    timeval tv{0, 20000};
    libusb_handle_events_timeout_completed(context, &tv, nullptr);
}

void UsbDescriptorWatch::quiet()
{
    for (QSocketNotifier *notifier : std::as_const(m_notifiers)) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    m_notifiers.clear();
}

void UsbDescriptorWatch::stop()
{
    if (m_context)
        libusb_set_pollfd_notifiers(m_context, nullptr, nullptr, nullptr);
    m_context = nullptr;
    quiet();
}

void UsbDescriptorWatch::onPollfdAdded(int fd, short events, void *self)
{
    static_cast<UsbDescriptorWatch *>(self)->watch(fd, events);
}

void UsbDescriptorWatch::onPollfdRemoved(int fd, void *self)
{
    static_cast<UsbDescriptorWatch *>(self)->unwatch(fd);
}

void UsbDescriptorWatch::watch(int fd, short events)
{
    const auto add = [this, fd](QSocketNotifier::Type type) {
        auto *notifier = new QSocketNotifier(qintptr(fd), type);
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this] {
            if (m_ready)
                m_ready();
        });
        m_notifiers.append(notifier);
    };
    if (events & POLLIN)
        add(QSocketNotifier::Read);
    if (events & POLLOUT)
        add(QSocketNotifier::Write);
}

void UsbDescriptorWatch::unwatch(int fd)
{
    // Removal may happen inside a notifier's own activation: disable now,
    // delete later.
    for (auto it = m_notifiers.begin(); it != m_notifiers.end();) {
        if ((*it)->socket() == fd) {
            (*it)->setEnabled(false);
            (*it)->deleteLater();
            it = m_notifiers.erase(it);
        } else {
            ++it;
        }
    }
}

UsbEventThreadDriver::UsbEventThreadDriver() = default;

UsbEventThreadDriver::~UsbEventThreadDriver()
{
    stop();
}

void UsbEventThreadDriver::start(libusb_context *context, std::function<void()>)
{
    m_thread = std::make_unique<UsbEventThread>(context);
    m_thread->start();
}

void UsbEventThreadDriver::letEventsRun(libusb_context *context)
{
    if (m_thread && m_thread->isRunning()) {
        QThread::msleep(20);
        return;
    }
    timeval tv{0, 20000};
    libusb_handle_events_timeout_completed(context, &tv, nullptr);
}

void UsbEventThreadDriver::stop()
{
    if (m_thread)
        m_thread->stop();
    m_thread.reset();
}

} // namespace pulvane::stick
