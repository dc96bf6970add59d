// Opening a stick of the list: the transport its kind needs, ready for
// traffic. SystemStickProvider is what the program hands to ant::AntLibrary.
#pragma once

#include "processes.h"
#include "sticklist.h"
#include "sticklocation.h"
#include "stickprovider.h"

#include <memory>
#include <optional>

namespace pulvane::stick {

// Opens one stick. Serial sticks ignore baudrate (the bridge stick needs
// kBridgeStickBaudrate); virtual sticks use it, for UART modules. processes
// is the START's look at /proc. On failure returns null and sets why (see
// openfailure.h).
std::unique_ptr<ant::Transport> openStickAt(const StickLocation &stick, int baudrate,
                                            const host::ProcessSnapshot &processes, QString *why);

// The sticks of this machine, opened by their place in the list. The machine
// is looked at once per START (its /proc and scanSticks(), at the first index
// the START asks): its attempts open the sticks of that one list. When START
// finds no stick it can open (the last index it asks fails, or an index past
// the list), each stick plugged in gets its driver's line (Windows; nothing
// elsewhere), once per START, from the same look.
class SystemStickProvider : public ant::StickProvider
{
public:
    std::unique_ptr<ant::Transport> openStick(int index, int baudrate, QString *why) override;

private:
    std::optional<StickScan> m_scan;
    bool m_driverLinesWritten = false;
    host::ProcessSnapshot m_processes;
    std::optional<int> m_lastIndex;
};

} // namespace pulvane::stick
