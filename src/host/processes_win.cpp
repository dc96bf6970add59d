// Windows has no /proc: the snapshot is empty and names no one.
#include "processes.h"

namespace pulvane::host {

ProcessSnapshot ProcessSnapshot::read()
{
    return {};
}

std::optional<uint> processOwner(qint64)
{
    return std::nullopt;
}

QString processName(qint64)
{
    return {};
}

QList<quint64> devicesOpenedBy(qint64)
{
    return {};
}

} // namespace pulvane::host
