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
// is the START's look at /proc. Failures are worded in openfailure.h.
ant::OpenedStick openStickAt(const StickLocation &stick, int baudrate,
                             const host::ProcessSnapshot &processes);

// The sticks of this machine, opened by their place in the list. The machine
// is looked at once per START (its /proc and scanSticks(), at the first index
// the START asks): its attempts open the sticks of that one list. When START
// finds no stick it can open (the last index it asks fails, or an index past
// the list), each stick plugged in gets its driver's line (Windows; nothing
// elsewhere), once per START, from the same look.
class SystemStickProvider : public ant::StickProvider
{
public:
    ant::OpenedStick openStick(int index, int baudrate) override;

private:
    std::optional<StickScan> m_scan;
    bool m_driverLinesWritten = false;
    host::ProcessSnapshot m_processes;
    std::optional<int> m_lastIndex;
};

} // namespace pulvane::stick
