#include "usbeventthread.h"

#ifdef _WIN32
// timeval: winsock2.h on Windows, which must come ahead of the windows.h
// that libusb.h includes; elsewhere libusb.h brings sys/time.h itself.
#include <winsock2.h>
#endif
#include <libusb.h>

namespace pulvane::stick {

UsbEventThread::UsbEventThread(std::function<void()> handleOnce, std::function<void()> wake)
    : m_handleOnce(std::move(handleOnce)), m_wake(std::move(wake))
{}

UsbEventThread::UsbEventThread(libusb_context *context)
    : UsbEventThread(
          [context] {
              timeval slice{0, kSliceMs * 1000};
              libusb_handle_events_timeout_completed(context, &slice, nullptr);
          },
          [context] { libusb_interrupt_event_handler(context); })
{}

UsbEventThread::~UsbEventThread()
{
    stop();
}

void UsbEventThread::start()
{
    if (m_thread.joinable())
        return;
    m_stop = false;
    m_thread = std::thread([this] {
        while (!m_stop.load())
            m_handleOnce();
    });
}

void UsbEventThread::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop = true;
    m_wake();
    m_thread.join();
}

} // namespace pulvane::stick
