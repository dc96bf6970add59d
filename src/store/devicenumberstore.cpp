#include "devicenumberstore.h"

namespace pulvane::store {

std::optional<QString> saveDeviceNumber(int32_t)
{
    return std::nullopt;
}

} // namespace pulvane::store
