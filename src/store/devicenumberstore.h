// The belt's device number in the per-user settings store, where companion
// training applications read it.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace pulvane::store {

// Writes deviceNumber as decimal text under both keys. Returns nothing on
// success, or the message to show the user when a value could not be written.
std::optional<QString> saveDeviceNumber(int32_t deviceNumber);

} // namespace pulvane::store
