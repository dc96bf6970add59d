// The ANT+ heart-rate profile: the values a channel that looks for a chest
// belt is set up with, and that a belt (antsim's) answers to. One set for the
// finder and the simulator.
#pragma once

#include <cstdint>

namespace pulvane::ant {

// Channel periods count in units of 1/32768 s.
inline constexpr int kPeriodUnitsPerSecond = 32768;
// A heart-rate belt's device type.
inline constexpr uint8_t kHeartRateDeviceType = 120;
// A heart-rate belt broadcasts every 8070/32768 s (about 4.06 times a second).
inline constexpr uint16_t kHeartRatePeriod = 8070;
// ANT+ belts transmit on RF channel 57 (2457 MHz).
inline constexpr uint8_t kAntPlusRfFrequency = 57;
// The ANT+ network key is eight bytes.
inline constexpr int kNetworkKeyLength = 8;
// The serial rate of a UART-attached ANT module.
inline constexpr uint16_t kAntModuleBaudrate = 57600;

} // namespace pulvane::ant
