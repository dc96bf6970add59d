#include "stickdiagnostics.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace pulvane::ant {

namespace {

// Past this size the file starts again, the previous one kept beside it.
constexpr qint64 kMaxFileSize = 256 * 1024;

} // namespace

QString stickDiagnosticsFile()
{
    // GenericDataLocation is the local (not roaming) application-data folder
    // on Windows.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        return {};
    return base + QStringLiteral("/Pulvane/diagnostics.log");
}

void reportStickTrouble(const QString &line)
{
    // Without a console Qt sends this to the debugger output.
    qWarning().noquote() << line;

    const QString path = stickDiagnosticsFile();
    if (path.isEmpty())
        return;
    QDir().mkpath(QFileInfo(path).path());
    if (QFileInfo(path).size() > kMaxFileSize) {
        const QString previous = path + QStringLiteral(".1");
        QFile::remove(previous);
        QFile::rename(path, previous);
    }
    QFile file(path);
    // A file that cannot be written loses only this line; the program goes on.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    file.write(QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + ' ' + line.toUtf8() +
               '\n');
}

} // namespace pulvane::ant
