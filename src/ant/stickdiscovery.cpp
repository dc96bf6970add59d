#include "stickdiscovery.h"

namespace pulvane::ant {

std::unique_ptr<Transport> SystemStickProvider::openStick(int index, int, QString *why)
{
    if (why)
        *why = QStringLiteral("no stick with number %1").arg(index);
    return nullptr;
}

} // namespace pulvane::ant
