// How long an IO-Warrior access object waits around its reports. The "spec" timing keeps the
// protocol's own waits: 2 ms after every report, a 5 ms select hold before a lickometer read, a
// 1 ms re-arm pulse and 2 ms between sampling periods. Lean waits only where the hardware needs
// time: before the report that follows a pin report until the pins have it
// (ZENTRIX_PIN_REPORT_WAIT_US, else none, since the backends return from a pin report once it
// reached the pins), the re-arm pulse and the select hold, and between periods just enough that an
// idle box asks no more of the bus than with the protocol's waits. Auto verifies lean waits on each
// box and falls back to the protocol's waits.
#ifndef ZENTRIX_IOBOX_TIMING_H
#define ZENTRIX_IOBOX_TIMING_H

#include <cstdint>
#include <optional>
#include <string_view>

namespace zentrix {

enum class Timing { Spec, Lean };
enum class TimingChoice { Spec, Lean, Auto };

// "spec", "lean" or "auto"; nothing for any other text.
std::optional<TimingChoice> ParseTimingChoice(std::string_view text);
std::string_view TimingName(Timing timing);
std::string_view TimingChoiceName(TimingChoice choice);
// ZENTRIX_TIMING as it is now; auto when it is unset. A text that names no choice is logged once
// and taken as auto.
TimingChoice TimingChoiceFromEnvironment();

// The protocol's wait after every report exchange, and after every failed attempt in either
// timing.
inline constexpr std::uint32_t kSpecReportWaitMs = 2;
inline constexpr std::uint32_t kSpecPeriodGapMs = 2;
// Held on a lickometer's select so that it latches its counts, in either timing.
inline constexpr std::uint32_t kSlowDeviceSelectMs = 5;
inline constexpr std::uint32_t kRearmPulseMs = 1;
// An idle period with the protocol's waits is one read of the pins (two reports with their waits)
// and the gap between periods, 6 ms of waits and what its three sleeps overshoot (0.2 ms and more):
// lean periods start no closer together than 6.6 ms, so that an idle box asks no more of the bus.
inline constexpr std::uint32_t kLeanShortestPeriodUs = 6600;
inline constexpr std::uint32_t kLongestPinReportWaitUs = 100000;

// ZENTRIX_SCHEDULE=passes as it was at the first call: each pass reads the inputs once, before
// its slow steps, as the original protocol did; for measuring the order of a pass against it.
bool OnePassInputReadsFromEnvironment();

// ZENTRIX_PIN_REPORT_WAIT_US as it was at the first call: a wait in microseconds (up to 100 ms)
// after each pin report, for measuring how short it may be through a given driver.
std::optional<std::uint32_t> PinReportWaitUsFromEnvironment();

}  // namespace zentrix

#endif
