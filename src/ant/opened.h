// How opening a stick tells failure, the one way for src/stick and its
// callers: what yields a link returns an OpenedStick (the link, or none and
// why), a step that only succeeds or fails returns a Refusal (empty when it
// succeeded, else why not).
#pragma once

#include "transport.h"

#include <QString>
#include <memory>
#include <optional>

namespace pulvane::ant {

struct OpenedStick
{
    std::unique_ptr<Transport> transport;
    // Why the stick did not open (for standard error); empty when it did.
    QString why;

    explicit operator bool() const { return bool(transport); }
};

using Refusal = std::optional<QString>;

} // namespace pulvane::ant
