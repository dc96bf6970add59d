// Windows: a windowed program has no standard error. The program's own lines
// are kept in a per-user file, opened once, and every message goes to the
// debugger output.
#include "messagelog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

// OutputDebugStringW
#include <windows.h>

namespace pulvane::ant {

namespace {

// Past this size the file starts again, the previous one kept beside it.
constexpr qint64 kMaxFileSize = 256 * 1024;

} // namespace

class MessageLog::Keeper
{
public:
    explicit Keeper(const QString &path) : m_file(path)
    {
        if (!path.isEmpty())
            reopen();
    }

    void append(const QString &text)
    {
        if (m_file.isOpen() && m_file.size() > kMaxFileSize) {
            m_file.close();
            const QString previous = m_file.fileName() + QStringLiteral(".1");
            QFile::remove(previous);
            QFile::rename(m_file.fileName(), previous);
        }
        // A file that cannot be written loses only this line; the program
        // goes on.
        if (!m_file.isOpen() && !reopen())
            return;
        m_file.write(QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + ' ' +
                     text.toUtf8() + '\n');
        m_file.flush();
    }

private:
    bool reopen()
    {
        if (m_file.fileName().isEmpty())
            return false;
        QDir().mkpath(QFileInfo(m_file.fileName()).path());
        return m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
    }

    QFile m_file;
};

void MessageLog::KeeperEnd::operator()(Keeper *keeper) const
{
    delete keeper;
}

MessageLog::KeeperPtr MessageLog::openKeeper()
{
    return KeeperPtr(new Keeper(stickDiagnosticsFile()));
}

void MessageLog::keep(Keeper *keeper, bool ours, const QString &text)
{
    OutputDebugStringW(reinterpret_cast<const wchar_t *>((text + u'\n').utf16()));
    if (ours && keeper)
        keeper->append(text);
}

QString stickDiagnosticsFile()
{
    // GenericDataLocation is the local (not roaming) application-data folder
    // on Windows.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        return {};
    return base + QStringLiteral("/Pulvane/diagnostics.log");
}

} // namespace pulvane::ant
