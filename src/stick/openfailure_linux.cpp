// Who holds a device, and whether we may open it, as Linux tells: the
// descriptors under /proc and access(2).
#include "openfailure.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <unistd.h>

namespace pulvane::stick {

QString platformUsbReason(int, const QString &)
{
    return {};
}

QString programsHolding(const QString &devicePath)
{
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    if (target.isEmpty())
        return {};
    QStringList holders;
    const QDir proc(QStringLiteral("/proc"));
    const QString self = QString::number(::getpid());
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric || pid == self)
            continue;
        const QDir fds(proc.filePath(pid) + QStringLiteral("/fd"));
        const QStringList entries =
            fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        const bool holds = std::any_of(entries.begin(), entries.end(), [&](const QString &fd) {
            return QFileInfo(fds.filePath(fd)).symLinkTarget() == target;
        });
        if (!holds)
            continue;
        QFile comm(proc.filePath(pid) + QStringLiteral("/comm"));
        const QString name = comm.open(QIODevice::ReadOnly)
                                 ? QString::fromLatin1(comm.readAll()).trimmed()
                                 : QString();
        holders << QStringLiteral("%1 (%2)").arg(name, pid);
    }
    return holders.join(QStringLiteral(", "));
}

bool accessDenied(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0;
}

UdevRule installedUdevRule()
{
    const QString name = QStringLiteral("60-pulvane-ant.rules");
    // The folders udev reads rules from.
    for (const char *folder :
         {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
        const QString path = QString::fromLatin1(folder) + u'/' + name;
        if (QFileInfo::exists(path))
            return {UdevRule::Where::Read, path};
    }
    // Installed beside the program under another prefix (bin/ and lib/).
    if (QCoreApplication::instance()) {
        const QString beside = QFileInfo(QCoreApplication::applicationDirPath() +
                                         QStringLiteral("/../lib/udev/rules.d/") + name)
                                   .absoluteFilePath();
        if (QFileInfo::exists(beside))
            return {UdevRule::Where::Unread, beside};
    }
    return {};
}

} // namespace pulvane::stick
