// Windows has no virtual-stick directory: UART modules and simulators are
// named in PULVANE_STICKS instead.
#include "stickscan.h"
#include "virtualsticks.h"

namespace pulvane::ant {

QString virtualStickDirectory()
{
    return {};
}

std::optional<StickLocation> vetVirtualStick(const QString &, const QString &, QString *)
{
    return std::nullopt;
}

QList<StickLocation> virtualSticks(const QString &)
{
    return {};
}

QList<VirtualStickFound> scanVirtualSticks(const QString &)
{
    return {};
}

} // namespace pulvane::ant
