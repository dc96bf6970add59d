#include "virtualsticks.h"

#include "stickscan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace pulvane::ant {

QString virtualStickDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/pulvane/sticks");
    return QStringLiteral("/tmp/pulvane-%1/sticks").arg(::getuid());
}

std::optional<StickLocation> vetVirtualStick(const QString &directory, const QString &name)
{
    const QString entry = QDir(directory).filePath(name);
    struct stat target
    {
    };
    // stat() follows the link: a dangling one fails here.
    if (::stat(QFile::encodeName(entry).constData(), &target) != 0 || !S_ISCHR(target.st_mode))
        return std::nullopt;
    StickLocation stick;
    stick.kind = StickLocation::Kind::Virtual;
    stick.path = entry;
    stick.description =
        QStringLiteral("virtual stick %1 (%2)").arg(name, QFileInfo(entry).canonicalFilePath());
    return stick;
}

QList<StickLocation> virtualSticks(const QString &directory)
{
    QList<StickLocation> found;
    const QStringList names = QDir(directory).entryList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names)
        if (std::optional<StickLocation> stick = vetVirtualStick(directory, name))
            found << *stick;
    return found;
}

QList<VirtualStickFound> scanVirtualSticks(const QString &directory)
{
    QList<VirtualStickFound> found;
    for (const StickLocation &stick : virtualSticks(directory))
        found << VirtualStickFound{stick, QFileInfo(stick.path).canonicalFilePath()};
    return found;
}

} // namespace pulvane::ant
