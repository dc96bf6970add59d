// Where ANT_Init gets its sticks from: the ordered list of sticks on this
// machine (SystemStickProvider) or, in tests, scripted sticks.
#pragma once

#include "opened.h"

namespace pulvane::ant {

// START asks ANT_Init for the sticks 0 .. kStickIndexes - 1 in turn, each
// START from 0, until one opens.
inline constexpr int kStickIndexes = 4;

class StickProvider
{
public:
    virtual ~StickProvider() = default;
    // Rebuilds the list of sticks and opens the index-th one, ready for
    // traffic, or says why not (for standard error).
    virtual OpenedStick openStick(int index, int baudrate) = 0;
};

} // namespace pulvane::ant
