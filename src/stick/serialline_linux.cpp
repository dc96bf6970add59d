#include "serialline_linux.h"

#include "openfailure.h"
#include "serialline.h"
#include "virtualsticks.h"

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
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
// connection breaks. A signal ignored when the program started (nohup, a
// job of a non-interactive shell) stays ignored: whoever started us chose
// that we outlive it.
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
        for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
            struct sigaction previous
            {
            };
            if (::sigaction(signal, nullptr, &previous) == 0 &&
                (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN)
                continue;
            ::sigaction(signal, &action, nullptr);
        }
    });
}

// The lock file of device, "LCK..<name>" in the lock folder, opened for
// reading; not open when there is none. Qt's own and the UUCP lock files
// alike hold the holder's process ID as their first word.
void openLockFile(const QString &device, QFile *lock)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    lock->setFileName(QStringLiteral("/var/lock/LCK..") + name);
    if (!lock->open(QIODevice::ReadOnly)) {
        lock->setFileName(QStringLiteral("/run/lock/LCK..") + name);
        lock->open(QIODevice::ReadOnly);
    }
}

qint64 pidInLockFile(QFile &lock)
{
    return lock.read(64).simplified().split(' ').value(0).toLongLong();
}

// Whether device has a lock file whose process no longer exists.
bool lockedByEndedProcess(const QString &device)
{
    QFile lock;
    openLockFile(device, &lock);
    if (!lock.isOpen())
        return false;
    const qint64 pid = pidInLockFile(lock);
    return pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

// The process holding a lock on the file (fileSystem, inode), from the text of
// /proc/locks; 0 when none does (a waiter holds nothing, and a lock of an open
// file description names no process).
qint64 lockHolderIn(const QByteArray &procLocks, dev_t fileSystem, ino_t inode)
{
    for (const QByteArray &line : procLocks.split('\n')) {
        // "1: FLOCK  ADVISORY  WRITE 4711 fe:01:1234 0 EOF"; a waiter has
        // "->" after the number.
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields.at(1) == "->")
            continue;
        const QList<QByteArray> file = fields.at(5).split(':');
        if (file.size() != 3)
            continue;
        bool ok[4] = {};
        const qint64 pid = fields.at(4).toLongLong(&ok[0]);
        const unsigned fsMajor = file.at(0).toUInt(&ok[1], 16);
        const unsigned fsMinor = file.at(1).toUInt(&ok[2], 16);
        const qulonglong fileInode = file.at(2).toULongLong(&ok[3]);
        if (ok[0] && ok[1] && ok[2] && ok[3] && pid > 0 &&
            makedev(fsMajor, fsMinor) == fileSystem && fileInode == inode)
            return pid;
    }
    return 0;
}

// The program that holds device's lock file, as "name (pid)", or empty when
// none can be named. The holder of a lock on the file itself (Qt's lock files
// carry one) is sure; the process ID written in it is taken while that
// process lives.
QString lockHolder(const QString &device)
{
    QFile lock;
    openLockFile(device, &lock);
    if (!lock.isOpen())
        return {};
    qint64 pid = 0;
    struct stat st
    {
    };
    QFile locks(QStringLiteral("/proc/locks"));
    if (::fstat(lock.handle(), &st) == 0 && locks.open(QIODevice::ReadOnly))
        pid = lockHolderIn(locks.readAll(), st.st_dev, st.st_ino);
    if (pid <= 0) {
        pid = pidInLockFile(lock);
        if (pid <= 0 || (::kill(pid_t(pid), 0) != 0 && errno != EPERM))
            return {};
    }
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    const QString name = comm.open(QIODevice::ReadOnly)
                             ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                             : QString();
    return QStringLiteral("%1 (%2)").arg(name).arg(pid);
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
    // itself rather than our link to it. m_path may lead elsewhere by the time
    // the tty is open, so what is open is vetted once more, on its descriptor.
    QString refused;
    const std::optional<QString> vetted = vetSerialDevice(m_path, &refused);
    if (!vetted) {
        *why = QFileInfo(m_path).canonicalFilePath().isEmpty() ? goneReason(m_path) : refused;
        return false;
    }
    const QString device = *vetted;
    m_port.setPortName(device);
    m_port.setBaudRate(m_baudrate);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_gone = false;
    if (openPort(device)) {
        bool missing = false;
        if (vetOpenedDevice(int(m_port.handle()), m_path, &refused, &missing))
            return true;
        close();
        *why = missing ? goneReason(m_path) : refused;
        return false;
    }

    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        *why = goneReason(device);
        break;
    case QSerialPort::PermissionError:
        // Qt reports a busy port (locked or opened exclusively) as a
        // permission error too; the access bits tell the two apart. The
        // holder is the lock's: others may have the tty open as well (the
        // simulator that made a pseudo-terminal keeps it open).
        *why = accessDenied(device) ? permissionReason(device, PermissionHint::UdevRuleOrDialout)
                                    : busyHeldByReason(device, lockHolder(device));
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
