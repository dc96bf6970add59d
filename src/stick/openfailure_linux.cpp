// Who holds a device, and whether we may open it, as Linux tells: the
// host's look at /proc and access(2).
#include "openfailure.h"

#include "processes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace pulvane::stick {

QString platformUsbReason(int, const QString &)
{
    return {};
}

QString programsHolding(const QString &devicePath)
{
    // Asked only when an open failed as busy, apart from the START's look.
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(devicePath).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return {};
    return host::ProcessSnapshot::read().holders(st.st_rdev);
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
