#include "serialtransport.h"

#include "openfailure.h"
#include "serialline.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace pulvane::stick {

namespace {

// Qt SerialPort keeps a lock file (/run/lock/LCK..<tty>) for as long as a
// line is open, and only its close() removes it. A program ended from outside
// would leave it behind, in a folder where other users may not remove it, and
// their START would find the stick busy. So while lines are open, the
// program's ending closes them first: on SIGTERM, SIGHUP and SIGINT (the
// signal is raised again once they are closed, and a second one ends the
// program at once), and at exit(), which Qt calls when the display
// connection breaks.
QList<SerialTransport *> &openLines()
{
    // Never destroyed: exit() runs closeOpenLines after static destructors
    // registered later than it.
    static auto *lines = new QList<SerialTransport *>;
    return *lines;
}

int endingPipe[2] = {-1, -1};
// Kept for the life of the process, as the handlers are.
QSocketNotifier *endingNotifier = nullptr;

void onEndingSignal(int signal)
{
    const unsigned char byte = static_cast<unsigned char>(signal);
    const int saved = errno;
    if (::write(endingPipe[1], &byte, 1) != 1)
        std::_Exit(128 + signal);
    errno = saved;
}

void closeOpenLines()
{
    while (!openLines().isEmpty())
        openLines().constFirst()->close();
}

void releaseOnEnding()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(closeOpenLines);
        if (::pipe2(endingPipe, O_CLOEXEC) != 0)
            return;
        endingNotifier = new QSocketNotifier(endingPipe[0], QSocketNotifier::Read);
        QObject::connect(endingNotifier, &QSocketNotifier::activated, [] {
            unsigned char signal = 0;
            if (::read(endingPipe[0], &signal, 1) != 1)
                return;
            closeOpenLines();
            std::signal(signal, SIG_DFL);
            std::raise(signal);
        });
        struct sigaction action
        {
        };
        action.sa_handler = onEndingSignal;
        action.sa_flags = SA_RESETHAND | SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGTERM, SIGHUP, SIGINT})
            ::sigaction(signal, &action, nullptr);
    });
}

// The lock file another program left for device when it is one whose
// process no longer exists: "LCK..<name>" in the lock folder, its first
// word the holder's process ID (Qt's own and the UUCP lock files alike).
bool lockedByEndedProcess(const QString &device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    QFile lock(QStringLiteral("/var/lock/LCK..") + name);
    if (!lock.open(QIODevice::ReadOnly)) {
        lock.setFileName(QStringLiteral("/run/lock/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            return false;
    }
    const qint64 pid = lock.read(64).simplified().split(' ').value(0).toLongLong();
    return pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

SerialTransport::SerialTransport(const QString &path, int baudrate, const QString &description,
                                 QObject *parent)
    : ant::Transport(parent), m_path(path), m_baudrate(baudrate), m_description(description)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialTransport::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialTransport::onError);
}

SerialTransport::~SerialTransport()
{
    close();
}

bool SerialTransport::open(QString *why)
{
    // QSerialPort names its lock file after the port name, so give it the tty
    // itself rather than our link to it.
    const QString device = QFileInfo(m_path).canonicalFilePath();
    if (device.isEmpty()) {
        *why = goneReason(m_path);
        return false;
    }
    m_port.setPortName(device);
    m_port.setBaudRate(m_baudrate);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_gone = false;
    if (openPort(device))
        return true;

    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        *why = goneReason(device);
        break;
    case QSerialPort::PermissionError:
        // Qt reports a busy port (locked or opened exclusively) as a
        // permission error too; the access bits tell the two apart.
        *why = accessDenied(device) ? permissionReason(device, PermissionHint::UdevRuleOrDialout)
                                    : busyReason(device, device);
        break;
    default:
        *why = otherReason(device, m_port.errorString());
        break;
    }
    return false;
}

bool SerialTransport::openPort(const QString &device)
{
    releaseOnEnding();
    bool opened = m_port.open(QIODevice::ReadWrite);
    // A lock left by a program that has ended, in a folder where we may not
    // remove it, would keep this stick busy until the next boot. The line
    // itself is still ours alone (Qt opens it exclusively), so it is opened
    // through a private link of ours, whose lock file is named after the link.
    if (!opened && m_port.error() == QSerialPort::PermissionError && !accessDenied(device) &&
        lockedByEndedProcess(device)) {
        QTemporaryDir folder;
        const QString link = folder.filePath(QFileInfo(device).fileName());
        if (folder.isValid() && QFile::link(device, link)) {
            m_port.setPortName(link);
            opened = m_port.open(QIODevice::ReadWrite);
            m_port.setPortName(device);
        }
    }
    if (opened)
        openLines().append(this);
    return opened;
}

bool SerialTransport::write(const QByteArray &bytes)
{
    if (!m_port.isOpen() || m_gone)
        return false;
    if (m_port.write(bytes) != bytes.size())
        return false;
    // QSerialPort only queues; without this the bytes would wait for the
    // event loop, and a reset followed by the blocking 600 ms wait would leave
    // the stick after the wait, right before the next command.
    m_port.flush();
    return true;
}

bool SerialTransport::isOpen() const
{
    return m_port.isOpen() && !m_gone;
}

void SerialTransport::close()
{
    if (!m_port.isOpen())
        return;
    // No signals after close(): nothing queued in the port may reach us.
    QSignalBlocker blocker(this);
    m_port.close();
    openLines().removeAll(this);
}

QString SerialTransport::description() const
{
    return m_description;
}

void SerialTransport::onReadyRead()
{
    const QByteArray bytes = m_port.readAll();
    if (!bytes.isEmpty())
        emit bytesArrived(bytes);
}

void SerialTransport::onError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError || m_gone)
        return;
    if (!m_port.isOpen())
        return;
    // A vanished device (unplugged stick, closed pseudo-terminal) fails every
    // read from now on; Qt keeps the read notifier armed for some of these
    // errors, so reading stops here or the event loop would spin on them.
    m_gone = true;
    // On a hang-up Qt's own error text is whatever errno held last
    // ("Resource temporarily unavailable" and the like), which misleads.
    QString reason;
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::DeviceNotFoundError:
        reason = unpluggedReason(Link::SerialLine);
        break;
    default:
        reason = m_port.errorString();
        break;
    }
    m_port.close();
    openLines().removeAll(this);
    emit gone(reason);
}

std::unique_ptr<ant::Transport> openSerialLine(const QString &path, int baudrate,
                                          const QString &description, QString *why)
{
    auto line = std::make_unique<SerialTransport>(path, baudrate, description);
    if (!line->open(why))
        return nullptr;
    return line;
}

} // namespace pulvane::stick
