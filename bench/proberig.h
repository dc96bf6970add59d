// The window probe's rig: the program's window as main() builds it, a stick
// link that timestamps what passes through it, antsim as a child process,
// and the clock and load readings the figures are taken with. Used by
// windowprobe.cpp only.
#pragma once

#include "antframe.h"
#include "antlibrary.h"
#include "antmessages.h"
#include "stickopen.h"
#include "tform1.h"
#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextStream>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <csignal>
#include <ctime>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
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

// utime + stime of a process in seconds, from /proc/<pid>/stat.
inline double cpuSeconds(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold spaces.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

inline double residentMiB(const QString &pid)
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
    std::unique_ptr<ant::Transport> openStick(int index, int baudrate, QString *why) override
    {
        std::unique_ptr<ant::Transport> inner = m_system.openStick(index, baudrate, why);
        if (!inner)
            return nullptr;
        auto transport = std::make_unique<TimingTransport>(std::move(inner));
        last = transport.get();
        return transport;
    }
    TimingTransport *last = nullptr;

private:
    ant::SystemStickProvider m_system;
};

// One antsim process in a runtime directory of its own.
class Sim
{
public:
    Sim(QString path, const QString &runtimeDir) : m_path(std::move(path))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        m_process.setProcessEnvironment(env);
        // The window looks for sticks in the same directory.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir));
    }
    ~Sim() { stop(); }

    bool start(const QStringList &arguments)
    {
        m_output.clear();
        m_process.start(m_path, arguments);
        if (!m_process.waitForStarted())
            return false;
        QDeadlineTimer deadline(10000);
        while (!m_process.canReadLine() && !deadline.hasExpired() &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(int(deadline.remainingTime()));
        return m_process.readLine().startsWith("ready ");
    }
    QString pid() const { return QString::number(m_process.processId()); }
    void pause() { ::kill(pid_t(m_process.processId()), SIGSTOP); }
    void resume() { ::kill(pid_t(m_process.processId()), SIGCONT); }
    // Ends it (SIGTERM) and returns everything it printed.
    QString stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(10000);
        }
        m_output += QString::fromLocal8Bit(m_process.readAll());
        return m_output;
    }
    bool waitFinished(int ms) { return m_process.waitForFinished(ms); }
    // The value of key= on the first line starting with word.
    static QString field(const QString &output, const QString &word, const QString &key)
    {
        for (const QString &line : output.split(u'\n')) {
            if (!line.startsWith(word + u' '))
                continue;
            for (const QString &part : line.split(u' '))
                if (part.startsWith(key + u'='))
                    return part.mid(key.size() + 1);
        }
        return {};
    }

private:
    QString m_path;
    QProcess m_process;
    QString m_output;
};

// The window and its stick, as main() makes them.
struct Window
{
    TimingProvider sticks;
    ant::AntLibrary ant{sticks};
    TForm1 form{ant};
    QAbstractButton *start = form.findChild<QAbstractButton *>(QStringLiteral("Btn_Start1"));
    QAbstractButton *stop = form.findChild<QAbstractButton *>(QStringLiteral("Btn_Stop"));
    QLabel *id = form.findChild<QLabel *>(QStringLiteral("lbl_DeviceNumber"));
    QPlainTextEdit *memo = form.findChild<QPlainTextEdit *>(QStringLiteral("Memo1"));

    explicit Window(bool show = true)
    {
        if (show)
            form.show();
        // A message box (no stick found) would wait for a person: it is
        // reported and dismissed.
        QObject::connect(&modalWatch, &QTimer::timeout, [this] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                ++messages;
                const auto *box = qobject_cast<QMessageBox *>(modal);
                out() << "message-box " << (box ? box->text() : QString()) << Qt::endl;
                modal->close();
            }
        });
        modalWatch.start(100);
    }
    QTimer modalWatch;
    int messages = 0;
    qint64 received() const { return const_cast<TForm1 &>(form).finder().state().BroadcastRxCount; }
    bool idShown() const { return id->text().startsWith(QStringLiteral("ID: ")); }
    // The last "Recv(" line of the log. A block of the log holds one line or,
    // once packed, several joined by line separators.
    QString lastRecv() const
    {
        for (QTextBlock b = memo->document()->lastBlock(); b.isValid(); b = b.previous()) {
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
        for (QTextBlock b = memo->document()->firstBlock(); b.isValid(); b = b.next())
            lines += 1 + b.text().count(QChar::LineSeparator);
        return lines;
    }
};

} // namespace pulvane::probe
