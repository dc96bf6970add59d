#include "serialline_linux.h"

#include "openfailure.h"
#include "serialdevice.h"
#include "serialline.h"
#include "seriallock.h"
#include "sticklog.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace pulvane::stick {

namespace {

// The lines open now, for closeSerialLines. Never destroyed: exit() may run
// closeSerialLines after static destructors registered later than it.
QList<SerialTransport *> &openLines()
{
    static auto *lines = new QList<SerialTransport *>;
    return *lines;
}

} // namespace

void closeSerialLines()
{
    while (!openLines().isEmpty())
        openLines().constFirst()->close();
}

SerialTransport::SerialTransport(const QString &path, int baudrate, const QString &description,
                                 QObject *parent)
    : ant::Transport(parent), m_path(path), m_baudrate(baudrate), m_description(description)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialTransport::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialTransport::onError);
    m_hold.setSingleShot(true);
    m_hold.setTimerType(Qt::PreciseTimer);
    connect(&m_hold, &QTimer::timeout, this, [this] {
        // Armed again, the notifier fires at once for what arrived meanwhile.
        if (m_heldNotifier)
            m_heldNotifier->setEnabled(true);
        m_heldNotifier = nullptr;
    });
}

void SerialTransport::holdReads(std::chrono::milliseconds hold)
{
    if (m_hold.isActive() || !m_port.isOpen())
        return;
    // QSerialPort reads through a read notifier of its own, a child of the
    // port, and offers no way to pause it; a port without one reads on.
    for (QSocketNotifier *notifier : m_port.findChildren<QSocketNotifier *>()) {
        if (notifier->type() == QSocketNotifier::Read && notifier->isEnabled()) {
            notifier->setEnabled(false);
            m_heldNotifier = notifier;
            m_hold.start(hold);
            return;
        }
    }
}

SerialTransport::~SerialTransport()
{
    close();
}

SerialTransport::Opened SerialTransport::refuse(const QString &why)
{
    return Opened{false, why};
}

SerialTransport::Opened SerialTransport::open(const host::ProcessSnapshot &processes)
{
    // m_path may lead elsewhere by the time the tty is open, so what is open
    // is vetted once more, on its descriptor.
    const host::DeviceVerdict vetted = host::vetSerialDevice(m_path, processes);
    if (!vetted)
        return refuse(QFileInfo(m_path).canonicalFilePath().isEmpty() ? goneReason(m_path)
                                                                      : vetted.why);
    const QString device = vetted.target;
    const SerialLock lock = readSerialLock(device, processes);
    if (lock.kind == SerialLock::Kind::Holder)
        return refuse(busyHeldByReason(device, lock.holder));
    if (lock.kind == SerialLock::Kind::Odd)
        qCWarning(lcStick).noquote() << QStringLiteral("Serial lock %1 ignored: it is %2, no lock file")
                                    .arg(lock.path, lock.what);
    m_port.setBaudRate(m_baudrate);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_gone = false;
    if (!openPort(device)) {
        switch (m_port.error()) {
        case QSerialPort::DeviceNotFoundError:
            return refuse(goneReason(device));
        case QSerialPort::PermissionError:
            // Qt reports a busy port (opened exclusively) as a permission
            // error too; the access bits tell the two apart.
            return refuse(accessDenied(device)
                              ? permissionReason(device, PermissionHint::UdevRuleOrDialout)
                              : busyHeldByReason(device, deviceLockHolder(device, processes)));
        default:
            return refuse(otherReason(device, m_port.errorString()));
        }
    }
    // The line is ours alone while we hold it: an exclusive lock on the
    // device that other openers of ours (and root, whom TIOCEXCL does not
    // stop) ask for, and TIOCEXCL, which Qt sets too.
    const int fd = int(m_port.handle());
    ::ioctl(fd, TIOCEXCL);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close();
        return refuse(busyHeldByReason(device, deviceLockHolder(device, processes)));
    }
    const host::DeviceVerdict opened = host::vetOpenedDevice(fd, m_path, processes);
    if (opened)
        return Opened{true, {}};
    close();
    return refuse(opened.outcome == host::DeviceVerdict::Outcome::Gone ? goneReason(m_path)
                                                                       : opened.why);
}

bool SerialTransport::openPort(const QString &device)
{
    // Qt SerialPort reads and keeps a lock file named after the port it is
    // given, in the lock folder every user may write: another user could
    // plant one there for our tty (a FIFO that blocks the read for good, a
    // sparse file of gigabytes, a process that never had the tty). So Qt is
    // given a link of ours in a folder nobody else may look into, and its
    // lock file's name cannot be known beforehand; our own look at the
    // tty's usual lock (readSerialLock) and the locks on the descriptor
    // keep the line to one program.
    QTemporaryDir folder;
    const QString hidden =
        folder.filePath(QString::number(QRandomGenerator::system()->generate64(), 16));
    const QString link = hidden + QLatin1Char('/') + QFileInfo(device).fileName();
    const bool linked = folder.isValid() && QDir().mkdir(hidden) && QFile::link(device, link);
    m_port.setPortName(linked ? link : device);
    const bool opened = m_port.open(QIODevice::ReadWrite);
    m_port.setPortName(device);
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
    m_hold.stop();
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
    m_hold.stop();
    m_port.close();
    openLines().removeAll(this);
    emit gone(reason);
}

ant::OpenedStick openSerialLine(const QString &path, int baudrate, const QString &description,
                                const host::ProcessSnapshot &processes)
{
    auto line = std::make_unique<SerialTransport>(path, baudrate, description);
    const SerialTransport::Opened opened = line->open(processes);
    if (!opened)
        return {nullptr, opened.why};
    return {std::move(line), {}};
}

} // namespace pulvane::stick
