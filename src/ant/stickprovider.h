// Where ANT_Init gets its sticks from: the ordered list of sticks on this
// machine (SystemStickProvider) or, in tests, scripted sticks.
#pragma once

#include "transport.h"

#include <QString>
#include <memory>

namespace pulvane::ant {

class StickProvider
{
public:
    virtual ~StickProvider() = default;
    // Rebuilds the list of sticks and opens the index-th one, ready for
    // traffic. On failure returns null and sets why (for standard error).
    virtual std::unique_ptr<Transport> openStick(int index, int baudrate, QString *why) = 0;
};

} // namespace pulvane::ant
