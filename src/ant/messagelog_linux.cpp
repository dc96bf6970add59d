// Linux: standard error is all there is.
#include "messagelog.h"

namespace pulvane::ant {

class MessageLog::Keeper
{
};

void MessageLog::KeeperEnd::operator()(Keeper *keeper) const
{
    delete keeper;
}

MessageLog::KeeperPtr MessageLog::openKeeper()
{
    return KeeperPtr(new Keeper);
}

void MessageLog::keep(Keeper *, bool, const QString &) {}

QString stickDiagnosticsFile()
{
    return {};
}

} // namespace pulvane::ant
