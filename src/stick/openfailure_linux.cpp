// Who holds a device, and whether we may open it, as Linux tells: the
// host's look at /proc and access(2).
#include "openfailure.h"

#include "processes.h"

#include <QFile>

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

} // namespace pulvane::stick
