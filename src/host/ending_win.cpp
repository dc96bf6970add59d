// Windows sends a windowed program no ending signal: its window's close ends
// it, and nothing needs releasing first.
#include "ending.h"

#include <cstdlib>

namespace pulvane::host {

Ending::Ending(Signals, std::function<void(int)>) {}

Ending::~Ending() = default;

void Ending::endAs(int signal)
{
    std::_Exit(128 + signal);
}

} // namespace pulvane::host
