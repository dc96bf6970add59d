// The thread that services libusb where libusb gives no descriptors to watch:
// it handles events away from the caller's thread, and stop() ends it
// promptly even while a handling pass is waiting.
#include "usbeventthread.h"

#include <QTest>

#include <condition_variable>
#include <libusb.h>
#include <mutex>
#include <set>

using namespace pulvane::stick;

namespace {

// A stand-in for libusb's event handling: each pass waits up to a slice, or
// until woken.
struct FakeEvents
{
    std::mutex lock;
    std::condition_variable cv;
    bool woken = false;
    int passes = 0;
    int wakes = 0;
    std::set<std::thread::id> threads;

    void handleOnce()
    {
        std::unique_lock<std::mutex> guard(lock);
        ++passes;
        threads.insert(std::this_thread::get_id());
        cv.wait_for(guard, std::chrono::milliseconds(UsbEventThread::kSliceMs),
                    [this] { return woken; });
        woken = false;
    }
    void wake()
    {
        std::lock_guard<std::mutex> guard(lock);
        woken = true;
        ++wakes;
        cv.notify_all();
    }
    int passCount()
    {
        std::lock_guard<std::mutex> guard(lock);
        return passes;
    }
};

} // namespace

class TestUsbEventThread : public QObject
{
    Q_OBJECT

private slots:
    void handlesEventsOnAThreadOfItsOwn();
    void stopWakesAWaitingPass();
    void noPassAfterStop_data();
    void noPassAfterStop();
    void servicesARealContext();
};

void TestUsbEventThread::handlesEventsOnAThreadOfItsOwn()
{
    FakeEvents events;
    UsbEventThread thread([&] { events.handleOnce(); }, [&] { events.wake(); });
    QVERIFY(!thread.isRunning());
    thread.start();
    QVERIFY(thread.isRunning());
    QTRY_VERIFY(events.passCount() >= 2);
    thread.stop();
    QCOMPARE(events.threads.size(), size_t(1));
    QVERIFY(*events.threads.begin() != std::this_thread::get_id());
    QVERIFY(!thread.isEventThread());
}

void TestUsbEventThread::stopWakesAWaitingPass()
{
    // A pass that would wait far longer than any test: only the wake ends it.
    std::mutex lock;
    std::condition_variable cv;
    bool woken = false;
    bool inPass = false;
    UsbEventThread thread(
        [&] {
            std::unique_lock<std::mutex> guard(lock);
            inPass = true;
            cv.notify_all();
            cv.wait(guard, [&] { return woken; });
        },
        [&] {
            std::lock_guard<std::mutex> guard(lock);
            woken = true;
            cv.notify_all();
        });
    thread.start();
    {
        std::unique_lock<std::mutex> guard(lock);
        cv.wait(guard, [&] { return inPass; });
    }
    thread.stop();
    QVERIFY(!thread.isRunning());
    QVERIFY(woken);
}

void TestUsbEventThread::noPassAfterStop_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("stopped") << false;
    QTest::newRow("started again, then stopped") << true;
}

void TestUsbEventThread::noPassAfterStop()
{
    QFETCH(bool, restart);
    FakeEvents events;
    {
        UsbEventThread thread([&] { events.handleOnce(); }, [&] { events.wake(); });
        thread.start();
        QTRY_VERIFY(events.passCount() >= 1);
        thread.stop();
        thread.stop(); // a second stop does nothing
        if (restart) {
            const int before = events.passCount();
            thread.start();
            QTRY_VERIFY(events.passCount() > before);
        }
        // Destruction stops a running thread too.
    }
    const int after = events.passCount();
    QTest::qWait(3 * UsbEventThread::kSliceMs);
    QCOMPARE(events.passCount(), after);
    QCOMPARE(events.wakes, restart ? 2 : 1);
}

void TestUsbEventThread::servicesARealContext()
{
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0)
        QSKIP("libusb has no backend here");
    {
        UsbEventThread thread(context);
        thread.start();
        QTest::qWait(2 * UsbEventThread::kSliceMs);
        // Interrupting libusb's own wait ends the thread.
        thread.stop();
        QVERIFY(!thread.isRunning());
    }
    libusb_exit(context);
}

QTEST_GUILESS_MAIN(TestUsbEventThread)
#include "tst_usbeventthread.moc"
