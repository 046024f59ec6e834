// What a simulated bench is made of: the IO boxes, the boards behind their SDI ports, the devices
// on their TTL ports, the stimuli on their inputs and the faults to inject, read from JSON or built
// in code.
#ifndef ZENTRIX_SIMULATOR_BENCHCONFIG_H
#define ZENTRIX_SIMULATOR_BENCHCONFIG_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/IoWarriorLibrary.h"

namespace zentrix::sim {

// The connectors of a simulated IO box, as the bench file and the box number them. The simulator
// keeps these facts of the hardware apart from the plug-in's, so that a mistake in one is not
// shared by the other.
inline constexpr int kTtlPortCount = 12;
inline constexpr int kTtlLineCount = 2;
inline constexpr int kSdiPortCount = 13;

// A bench description that cannot be used; the message names the offending field.
class BenchConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class SdiBoard { TopUnitInterface, Lickometer };
enum class TtlDevice { PelletDispenser };

// The input is pulled low for lowMs at startMs plus every multiple of everyMs (the first at
// startMs + everyMs), count times (0: without end); with bounceMs > 0 each edge toggles every
// millisecond for bounceMs before it settles.
struct PulseTrain {
    std::uint32_t everyMs = 0;
    std::uint32_t lowMs = 0;
    std::uint32_t bounceMs = 0;
    std::uint32_t startMs = 0;
    std::uint32_t count = 0;
    bool operator==(const PulseTrain&) const = default;
};

struct ConstantLevel {
    int level = 1;
    bool operator==(const ConstantLevel&) const = default;
};

// Drives the TTL input line `line` (1..2) of TTL port `port` (1..12) from outside the box.
struct InputSource {
    int port = 0;
    int line = 0;
    std::variant<PulseTrain, ConstantLevel> drive;
    bool operator==(const InputSource&) const = default;
};

// Licks on the lickometer behind SDI port `sdi`: lick k (from 1, up to count unless that is 0)
// starts at startMs + k * 1000 / perSecond ms of simulator time and lasts lickMs.
struct LickSource {
    int sdi = 0;
    double perSecond = 0.0;
    std::uint32_t lickMs = 0;
    std::uint32_t startMs = 0;
    std::uint32_t count = 0;
    bool operator==(const LickSource&) const = default;
};

// Faults still to come; each count is used up by the reads or reports it affects.
struct FaultConfig {
    // The next N reads deliver no bytes, after waiting the read timeout.
    std::uint32_t shortReads = 0;
    // The next N reads throw std::runtime_error.
    std::uint32_t throwOnRead = 0;
    // After N reports (writes and reads) the box delivers nothing any more; 0 never unplugs.
    std::uint32_t unplugAfterReports = 0;
    // After N reports the box still takes every write but answers no read: each waits the read
    // timeout and delivers nothing, as a box that hung does; 0 never goes silent.
    std::uint32_t silentAfterReports = 0;
    bool operator==(const FaultConfig&) const = default;
};

struct BoxConfig {
    int boxId = 0;
    std::uint32_t productId = kIoWarrior56ProductId;
    // Eight characters; empty gives "0000100N" for the N-th box of the bench.
    std::string serial;
    std::map<int, SdiBoard> sdiBoards;
    std::map<int, TtlDevice> ttlDevices;
    std::vector<InputSource> inputs;
    std::vector<LickSource> licks;
    FaultConfig faults;
    // How long a pin report takes to reach the pins, in microseconds: an SPI frame written sooner
    // is clocked with the select lines as they were. 0 for a box that takes each report at once.
    std::uint32_t lateSelectUs = 0;
    bool operator==(const BoxConfig&) const = default;
};

struct BenchConfig {
    // File that every line change is appended to; empty for none.
    std::string eventLog;
    std::vector<BoxConfig> boxes;
    bool operator==(const BenchConfig&) const = default;
};

// Both parse functions validate the result as ValidateBenchConfig does; every error is a
// BenchConfigError.
BenchConfig ParseBenchConfig(std::string_view jsonText);
BenchConfig LoadBenchConfig(const std::filesystem::path& file);

// Throws BenchConfigError naming the first field out of range or in conflict with another.
void ValidateBenchConfig(const BenchConfig& config);

// One box with id 0: a top-unit interface on SDI 1, a lickometer on SDI 3 licking four times a
// second, a pellet dispenser on TTL 5 and a button on TTL 3 line 1 pressed for 100 ms every second.
BenchConfig DemoBench();

// The serial number a box gets when its configuration names none.
std::string DefaultSerial(std::size_t boxIndex);

}  // namespace zentrix::sim

#endif
