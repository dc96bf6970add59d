#include "serialline_win.h"

#include "openfailure.h"
#include "serialline.h"

#include <QTimer>
#include <QWinEventNotifier>

#include <windows.h>

namespace pulvane::stick {

namespace {

constexpr DWORD kReadChunk = 4096;
// A read completes once bytes have come and the line then stayed quiet this
// long; with no total time-out it waits as long as nothing comes. (Waiting
// for the first byte through MAXDWORD multipliers is not honoured by every
// serial driver; Wine's ignores it.)
constexpr DWORD kReadGapMs = 1;
// Empty reads in a row taken for a hang-up.
constexpr int kEmptyReadsAtHangUp = 3;

QString systemText(DWORD code)
{
    return qt_error_string(int(code)).trimmed();
}

// ERROR_NO_SUCH_DEVICE ("A device which does not exist was specified"),
// which mingw-w64's headers lack.
constexpr DWORD kErrorNoSuchDevice = 433;

// Errors after which the port will not work again.
QString lostReason(DWORD code)
{
    switch (code) {
    case ERROR_BROKEN_PIPE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    // A USB serial driver ends a pending read aborted when its device goes
    // (close() never leaves a read for this to see), and answers 433 after.
    case ERROR_OPERATION_ABORTED:
    case kErrorNoSuchDevice:
        return unpluggedReason(Link::SerialLine);
    default:
        return systemText(code);
    }
}

} // namespace

struct WinSerialTransport::Io
{
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE readEvent = nullptr;
    HANDLE writeEvent = nullptr;
    OVERLAPPED readOv{};
    bool readPending = false;
    char buffer[kReadChunk];

    ~Io()
    {
        if (port != INVALID_HANDLE_VALUE) {
            if (readPending) {
                // The driver may still write into buffer until the
                // cancelled read has come back.
                CancelIoEx(port, &readOv);
                DWORD n = 0;
                GetOverlappedResult(port, &readOv, &n, TRUE);
            }
            CloseHandle(port);
        }
        if (readEvent)
            CloseHandle(readEvent);
        if (writeEvent)
            CloseHandle(writeEvent);
    }
};

WinSerialTransport::WinSerialTransport(const QString &port, int baudrate,
                                       const QString &description, QObject *parent)
    : ant::Transport(parent), m_port(port), m_baudrate(baudrate), m_description(description)
{}

WinSerialTransport::~WinSerialTransport()
{
    close();
}

QString WinSerialTransport::devicePath(const QString &port)
{
    if (port.startsWith(QLatin1String("\\\\")))
        return port;
    return QStringLiteral("\\\\.\\") + port;
}

QString WinSerialTransport::openFailure(const QString &port, unsigned long errorCode)
{
    switch (errorCode) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return goneReason(port);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // A COM port is opened exclusively: denied means someone has it.
        return busyReason(port, QString());
    default:
        return otherReason(port, systemText(DWORD(errorCode)));
    }
}

ant::Refusal WinSerialTransport::open()
{
    close();
    auto io = std::make_unique<Io>();
    const std::wstring path = devicePath(m_port).toStdWString();
    io->port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (io->port == INVALID_HANDLE_VALUE) {
        return openFailure(m_port, GetLastError());
    }

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = GetCommState(io->port, &dcb);
    if (ok) {
        dcb.BaudRate = DWORD(m_baudrate);
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        ok = SetCommState(io->port, &dcb);
    }
    if (ok) {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = kReadGapMs;
        timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
        ok = SetCommTimeouts(io->port, &timeouts);
    }
    if (ok) {
        PurgeComm(io->port, PURGE_RXCLEAR | PURGE_TXCLEAR);
        io->readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        io->writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ok = io->readEvent && io->writeEvent;
    }
    if (!ok)
        return otherReason(m_port, systemText(GetLastError()));

    m_io = std::move(io);
    m_gone = false;
    m_emptyReads = 0;
    m_readNotifier = new QWinEventNotifier(m_io->readEvent, this);
    connect(m_readNotifier, &QWinEventNotifier::activated, this, &WinSerialTransport::onReadDone);
    if (!startRead()) {
        const QString why = otherReason(m_port, systemText(GetLastError()));
        close();
        return why;
    }
    return std::nullopt;
}

bool WinSerialTransport::startRead()
{
    m_io->readOv = OVERLAPPED{};
    m_io->readOv.hEvent = m_io->readEvent;
    // Done at once or later, the completion sets readEvent and onReadDone
    // collects it.
    if (ReadFile(m_io->port, m_io->buffer, kReadChunk, nullptr, &m_io->readOv) ||
        GetLastError() == ERROR_IO_PENDING) {
        m_io->readPending = true;
        return true;
    }
    return false;
}

void WinSerialTransport::onReadDone()
{
    if (!m_io || !m_io->readPending || m_gone)
        return;
    DWORD n = 0;
    if (!GetOverlappedResult(m_io->port, &m_io->readOv, &n, FALSE)) {
        const DWORD code = GetLastError();
        if (code == ERROR_IO_INCOMPLETE)
            return;
        m_io->readPending = false;
        fail(lostReason(code));
        return;
    }
    m_io->readPending = false;
    const QByteArray bytes(m_io->buffer, int(n));
    if (n > 0)
        m_emptyReads = 0;

    // The next read is under way before the bytes go out: a receiver may
    // close us from its slot.
    bool reading = true;
    DWORD readError = 0;
    if (n > 0) {
        reading = startRead();
        if (!reading)
            readError = GetLastError();
    } else if (++m_emptyReads >= kEmptyReadsAtHangUp) {
        // Without a total time-out a read ends only once a byte has come:
        // reads that keep ending empty are a line that hung up (Wine's end
        // of a pseudo-terminal whose other side closed does this).
        reading = false;
        readError = ERROR_BROKEN_PIPE;
    } else {
        // Ask again a little later rather than spin.
        QTimer::singleShot(10, this, [this] {
            if (m_io && !m_io->readPending && !m_gone && !startRead())
                fail(lostReason(GetLastError()));
        });
    }
    if (!bytes.isEmpty())
        emit bytesArrived(bytes);
    if (!reading && m_io)
        fail(lostReason(readError));
}

bool WinSerialTransport::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    OVERLAPPED ov{};
    ov.hEvent = m_io->writeEvent;
    ResetEvent(m_io->writeEvent);
    DWORD written = 0;
    if (!WriteFile(m_io->port, bytes.constData(), DWORD(bytes.size()), nullptr, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(m_io->writeEvent, kWriteTimeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(m_io->port, &ov);
            GetOverlappedResult(m_io->port, &ov, &written, TRUE);
            return false;
        }
    }
    if (!GetOverlappedResult(m_io->port, &ov, &written, TRUE))
        return false;
    return written == DWORD(bytes.size());
}

bool WinSerialTransport::isOpen() const
{
    return m_io && !m_gone;
}

void WinSerialTransport::close()
{
    if (!m_io)
        return;
    // No signals after close(): a read that completes meanwhile is dropped.
    QSignalBlocker blocker(this);
    if (m_readNotifier) {
        // close() may run inside the notifier's own activation.
        m_readNotifier->setEnabled(false);
        m_readNotifier->deleteLater();
        m_readNotifier = nullptr;
    }
    m_io.reset();
}

QString WinSerialTransport::description() const
{
    return m_description;
}

void WinSerialTransport::fail(const QString &reason)
{
    if (m_gone)
        return;
    m_gone = true;
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    emit gone(reason);
}

ant::OpenedStick openSerialLine(const QString &path, int baudrate, const QString &description,
                                const host::ProcessSnapshot &)
{
    auto line = std::make_unique<WinSerialTransport>(path, baudrate, description);
    if (ant::Refusal refused = line->open())
        return {nullptr, *refused};
    return {std::move(line), {}};
}

// A COM port keeps no lock file: its handle goes with the process.
void closeSerialLines() {}

} // namespace pulvane::stick
