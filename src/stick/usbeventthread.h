// libusb's event handling on a thread of its own, for platforms where libusb
// offers no descriptors to watch from the window's event loop (Windows).
// Transfer callbacks then run on this thread: whatever they hand to the
// window must travel as a queued call carrying its own copy of the bytes.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

struct libusb_context;

namespace pulvane::stick {

class UsbEventThread
{
public:
    // handleOnce handles what is ready and returns within about kSliceMs;
    // wake makes a handleOnce under way return at once.
    UsbEventThread(std::function<void()> handleOnce, std::function<void()> wake);
    // For a libusb context: libusb_handle_events_timeout_completed and
    // libusb_interrupt_event_handler.
    explicit UsbEventThread(libusb_context *context);
    ~UsbEventThread();

    UsbEventThread(const UsbEventThread &) = delete;
    UsbEventThread &operator=(const UsbEventThread &) = delete;

    void start();
    // Returns once the thread has ended; no callback runs after that. Not
    // from the thread itself (from a transfer callback).
    void stop();
    bool isRunning() const { return m_thread.joinable(); }
    bool isEventThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

    static constexpr int kSliceMs = 100;

private:
    std::function<void()> m_handleOnce;
    std::function<void()> m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace pulvane::stick
