// The stick folder's logging category, pulvane.stick (defined in
// stickopen.cpp): why a stick could not be used, what was passed over.
#pragma once

#include <QLoggingCategory>

namespace pulvane::stick {

Q_DECLARE_LOGGING_CATEGORY(lcStick)

} // namespace pulvane::stick
