#include "serialtransport.h"

#include "openfailure.h"
#include "serialline.h"

#include <QFileInfo>

namespace pulvane::ant {

SerialTransport::SerialTransport(const QString &path, int baudrate, const QString &description,
                                 QObject *parent)
    : Transport(parent), m_path(path), m_baudrate(baudrate), m_description(description)
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
    if (m_port.open(QIODevice::ReadWrite))
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
    emit gone(reason);
}

std::unique_ptr<Transport> openSerialLine(const QString &path, int baudrate,
                                          const QString &description, QString *why)
{
    auto line = std::make_unique<SerialTransport>(path, baudrate, description);
    if (!line->open(why))
        return nullptr;
    return line;
}

} // namespace pulvane::ant
