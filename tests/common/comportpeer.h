// The far end of a COM port line, plain blocking Win32 I/O: what a test
// speaks through as the stick would, when scripts/test-windows.sh has joined
// two COM ports of Wine back to back (PULVANE_TEST_COM_PAIR). Windows only.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QString>

#include <algorithm>

#include <windows.h>

namespace pulvane::test {

class ComPortPeer
{
public:
    // port: "COM8".
    explicit ComPortPeer(const QString &port)
    {
        const std::wstring path = (QStringLiteral("\\\\.\\") + port).toStdWString();
        m_handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 20;
        timeouts.ReadTotalTimeoutConstant = 2000;
        SetCommTimeouts(m_handle, &timeouts);
    }
    ~ComPortPeer() { close(); }
    ComPortPeer(const ComPortPeer &) = delete;
    ComPortPeer &operator=(const ComPortPeer &) = delete;

    bool isOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    void close()
    {
        if (isOpen())
            CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }
    bool write(const QByteArray &bytes)
    {
        DWORD n = 0;
        return WriteFile(m_handle, bytes.constData(), DWORD(bytes.size()), &n, nullptr) &&
               n == DWORD(bytes.size());
    }
    // Reads until count bytes came or two seconds passed.
    QByteArray read(int count)
    {
        QByteArray got;
        QDeadlineTimer deadline(2000);
        while (got.size() < count && !deadline.hasExpired()) {
            char buffer[256];
            DWORD n = 0;
            if (!ReadFile(m_handle, buffer,
                          DWORD(std::min<qsizetype>(sizeof buffer, count - got.size())), &n,
                          nullptr))
                break;
            got.append(buffer, int(n));
        }
        return got;
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// Everything a bytesArrived spy caught, in order.
inline QByteArray joinedBytes(const QSignalSpy &spy)
{
    QByteArray all;
    for (const QList<QVariant> &args : spy)
        all += args.at(0).toByteArray();
    return all;
}

} // namespace pulvane::test
