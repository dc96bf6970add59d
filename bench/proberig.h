// The window probe's rig: the window rig of the tests over a stick link that
// timestamps what passes through it, and the clock and memory readings the
// figures are taken with. Used by windowprobe.cpp only.
#pragma once

#include "antframe.h"
#include "antmessages.h"
#include "windowrig.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTextBlock>
#include <QTextStream>
#include <algorithm>
#include <ctime>
#include <functional>
#include <map>
#include <unistd.h>
#include <vector>

namespace pulvane::probe {

inline QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

inline qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double residentMiB(qint64 pid)
{
    QFile statm(QStringLiteral("/proc/%1/statm").arg(pid));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * sysconf(_SC_PAGESIZE) / 1048576.0;
}

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Runs the event loop for ms, sleeping while there is nothing to do (the
// timed processEvents() never sleeps: it would spin and show as load).
inline void runLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Waits, running the event loop, until done() holds or the time is up.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        runLoop(20);
    }
    return true;
}

// Passes a stick's bytes through, noting when each command went out and when
// the answer to it came back.
class TimingTransport : public ant::Transport
{
public:
    explicit TimingTransport(std::unique_ptr<ant::Transport> inner) : m_inner(std::move(inner))
    {
        connect(m_inner.get(), &Transport::bytesArrived, this, &TimingTransport::onBytes);
        connect(m_inner.get(), &Transport::gone, this, &Transport::gone);
        m_clock.start();
    }
    ~TimingTransport() override { m_inner->disconnect(this); }

    bool write(const QByteArray &bytes) override
    {
        for (const ant::AntMessage &m : m_written.feed(bytes)) {
            m_sentAt[m.id] = m_clock.nsecsElapsed();
            if (m.id == ant::kMsgRequestMessage)
                requestSentAtNs = monotonicNs();
        }
        return m_inner->write(bytes);
    }
    bool isOpen() const override { return m_inner->isOpen(); }
    void close() override { m_inner->close(); }
    QString description() const override { return m_inner->description(); }

    struct RoundTrip
    {
        uint8_t command;
        double ms;
        qint64 answeredAtNs; // CLOCK_MONOTONIC
    };
    // In the order the answers came.
    std::vector<RoundTrip> roundTrips;
    qint64 requestSentAtNs = 0; // CLOCK_MONOTONIC, the last request message

private:
    void onBytes(const QByteArray &bytes)
    {
        const qint64 now = m_clock.nsecsElapsed();
        for (const ant::AntMessage &m : m_read.feed(bytes)) {
            // A command's answer: its response, or the message it requested.
            uint8_t answered = 0;
            if (m.id == ant::kMsgChannelResponse && m.payload.size() >= 3 &&
                uint8_t(m.payload.at(1)) != ant::kMsgIdRfEvent)
                answered = uint8_t(m.payload.at(1));
            else if (m.id == ant::kMsgChannelId)
                answered = ant::kMsgRequestMessage;
            const auto sent = m_sentAt.find(answered);
            if (answered && sent != m_sentAt.end()) {
                roundTrips.push_back({answered, (now - sent->second) / 1e6, monotonicNs()});
                m_sentAt.erase(sent);
            }
        }
        emit bytesArrived(bytes);
    }

    std::unique_ptr<ant::Transport> m_inner;
    ant::FrameDecoder m_written;
    ant::FrameDecoder m_read;
    std::map<uint8_t, qint64> m_sentAt;
    QElapsedTimer m_clock;
};

class TimingProvider : public ant::StickProvider
{
public:
    ant::OpenedStick openStick(int index, int baudrate) override
    {
        ant::OpenedStick inner = m_system.openStick(index, baudrate);
        if (!inner)
            return inner;
        auto transport = std::make_unique<TimingTransport>(std::move(inner.transport));
        last = transport.get();
        return {std::move(transport), {}};
    }
    TimingTransport *last = nullptr;

private:
    stick::SystemStickProvider m_system;
};

// The window as main() makes it, over the timing link; a message box (no
// stick found) is dismissed, and its text printed when the window goes.
struct Window : test::WindowRig<TimingProvider>
{
    explicit Window(bool show = true) : WindowRig(100)
    {
        if (show)
            form.show();
    }
    ~Window()
    {
        for (const QString &text : std::as_const(messages))
            out() << "message-box " << text << Qt::endl;
    }
    QAbstractButton *start() const { return button("Btn_Start1"); }
    QAbstractButton *stop() const { return button("Btn_Stop"); }
    QString id() const { return labelText("lbl_DeviceNumber"); }
    qint64 received() const { return const_cast<TForm1 &>(form).finder().state().BroadcastRxCount; }
    bool idShown() const { return id().startsWith(QStringLiteral("ID: ")); }
    // The last "Recv(" line of the log. A block of the log holds one line or,
    // once packed, several joined by line separators.
    QString lastRecv() const
    {
        for (QTextBlock b = memo()->document()->lastBlock(); b.isValid(); b = b.previous()) {
            const QStringList lines = b.text().split(QChar::LineSeparator);
            for (auto line = lines.crbegin(); line != lines.crend(); ++line)
                if (line->startsWith(QStringLiteral("Recv(")))
                    return *line;
        }
        return {};
    }
    qint64 logLines() const
    {
        qint64 lines = 0;
        for (QTextBlock b = memo()->document()->firstBlock(); b.isValid(); b = b.next())
            lines += 1 + b.text().count(QChar::LineSeparator);
        return lines;
    }

private:
    QPlainTextEdit *memo() const { return control<QPlainTextEdit>("Memo1"); }
};

} // namespace pulvane::probe
