#include "Check.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CliError.h"
#include "iobox/Timing.h"
#include "iobox/Warrior.h"
#include "platform/KernelIoWarriorLibrary.h"

namespace zentrix::cli {
namespace {

constexpr std::uint32_t kBoxIdReadTimeoutMs = 1000;
constexpr std::uint8_t kReadPinsReport = 0xFF;
// The read-pins reply carries port 2 in byte 3, where the box's id is set on the board.
constexpr std::size_t kBoxIdByte = 3;
constexpr const char* kUdevRuleFile = "60-zentrix-iowarrior.rules";

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// What to do about a node that serves no controller.
std::string FixFor(const KernelIoWarriorLibrary::NodeReport& node) {
    switch (node.openError) {
        case 0:
            break;
        case EBUSY:
            return "another program holds the box: close it (each device node can be open in one "
                   "process at a time)";
        case EACCES:
        case EPERM:
            return std::string("install the udev rule ") + kUdevRuleFile +
                   " (see README, \"Using real IO boxes\"), then unplug the box and plug it in "
                   "again";
        default:
            return "unplug the box and plug it in again";
    }
    if (!node.identified) {
        return "unplug the box and plug it in again; if that does not help, the node belongs to "
               "another driver";
    }
    return "unplug the box and plug it in again; if the other node stays missing, another program "
           "may hold it";
}

struct BoxFinding {
    std::string serial;
    std::uint32_t productId = 0;
    std::optional<int> boxId;
    bool usable = false;
    std::string problem;
    // The waits the plug-in would sample the box with, and why; empty for a box it would not use.
    std::string timing;
    std::string timingReason;
};

// What the plug-in's configuration of the box would choose: the box's own expanders are set up
// and read back as the plug-in does it (a top unit's expander is checked too once the plug-in
// configures one), and SPI is switched off again.
void ChooseTiming(IoWarriorLibrary& library, IowHandle handle, Clock& clock, BoxFinding& box) {
    const TimingChoice choice = TimingChoiceFromEnvironment();
    if (choice == TimingChoice::Spec) {
        box.timing = "spec";
        box.timingReason = "as ZENTRIX_TIMING=spec asks";
        return;
    }
    if (choice == TimingChoice::Lean) {
        box.timing = "lean";
        box.timingReason = "as ZENTRIX_TIMING=lean asks, unverified";
        return;
    }
    TCHiIobWarrior warrior(handle, library, clock);
    warrior.Configure({}, {}, {}, {}, {}, {}, {}, 0.0);
    std::string reason;
    const bool lean = warrior.VerifyLeanTiming(reason);
    warrior.Unconfigure();
    box.timing = lean ? "lean" : "spec";
    box.timingReason = reason;
}

std::optional<int> ReadBoxId(IoWarriorLibrary& library, IowHandle handle) {
    std::uint8_t report[kIow56SpecialReportSize] = {};
    report[0] = kReadPinsReport;
    library.SetWriteTimeout(handle, kBoxIdReadTimeoutMs);
    library.SetTimeout(handle, kBoxIdReadTimeoutMs);
    if (library.Write(handle, kIowPipeSpecialMode, report, sizeof report) != sizeof report) {
        return std::nullopt;
    }
    std::uint8_t reply[kIow56SpecialReportSize] = {};
    if (library.Read(handle, kIowPipeSpecialMode, reply, sizeof reply) != sizeof reply ||
        reply[0] != kReadPinsReport) {
        return std::nullopt;
    }
    return reply[kBoxIdByte];
}

std::string SerialText(const char16_t* serial) {
    std::string text;
    for (std::size_t i = 0; i < kIowSerialLength && serial[i] != u'\0'; ++i) {
        text.push_back(serial[i] < 0x80 ? static_cast<char>(serial[i]) : '?');
    }
    return text;
}

}  // namespace

int CheckHardware(DeviceNodes& nodes, Clock& clock, const CheckOptions& options,
                  std::ostream& out) {
    if (options.directoryNamed) {
        std::error_code error;
        const auto status = std::filesystem::status(options.directory, error);
        if (!std::filesystem::exists(status)) {
            throw CliError("the directory " + options.directory + " does not exist");
        }
        if (!std::filesystem::is_directory(status)) {
            throw CliError(options.directory + " is not a directory");
        }
    }
    KernelIoWarriorLibrary library(options.directory, nodes, clock);
    library.OpenDevice();
    const KernelIoWarriorLibrary::Discovery discovery = library.GetLastDiscovery();

    std::vector<BoxFinding> boxes;
    for (std::int32_t number = 1; number <= library.GetNumDevs(); ++number) {
        const IowHandle handle = library.GetDeviceHandle(number);
        char16_t serial[kIowSerialLength + 1] = {};
        library.GetSerialNumber(handle, serial);
        BoxFinding box;
        box.serial = SerialText(serial);
        box.productId = library.GetProductId(handle);
        if (box.productId != kIoWarrior56ProductId) {
            box.problem = "not an IO-Warrior 56: not an IO box, left alone";
            box.usable = true;
        } else {
            box.boxId = ReadBoxId(library, handle);
            box.usable = box.boxId.has_value();
            if (!box.usable) {
                box.problem = "does not answer: unplug the box and plug it in again";
            } else {
                ChooseTiming(library, handle, clock, box);
            }
        }
        boxes.push_back(box);
    }
    library.CloseDevice(nullptr);

    bool ok = true;
    for (const auto& node : discovery.nodes) {
        ok = ok && node.problem.empty();
    }
    for (const auto& box : boxes) {
        ok = ok && box.usable;
    }
    std::error_code error;
    const bool moduleLoaded = std::filesystem::exists(options.moduleDirectory, error);
    const bool nothingFound = discovery.nodes.empty();
    const std::string moduleHint =
        "the iowarrior kernel module is not loaded: run `sudo modprobe iowarrior` (it loads by "
        "itself when a box is plugged in)";

    if (options.json) {
        nlohmann::ordered_json document;
        document["directory"] = options.directory;
        document["module_loaded"] = moduleLoaded;
        document["nodes"] = nlohmann::ordered_json::array();
        for (const auto& node : discovery.nodes) {
            nlohmann::ordered_json entry;
            entry["path"] = node.path;
            entry["serial"] = node.identified ? nlohmann::ordered_json(node.serial) : nullptr;
            entry["product_id"] =
                node.identified ? nlohmann::ordered_json(node.productId) : nullptr;
            entry["interface"] =
                node.identified ? nlohmann::ordered_json(node.interfaceNumber) : nullptr;
            entry["usable"] = node.problem.empty();
            entry["problem"] =
                node.problem.empty() ? nullptr : nlohmann::ordered_json(node.problem);
            entry["fix"] = node.problem.empty() ? nullptr : nlohmann::ordered_json(FixFor(node));
            document["nodes"].push_back(entry);
        }
        document["boxes"] = nlohmann::ordered_json::array();
        for (const auto& box : boxes) {
            nlohmann::ordered_json entry;
            entry["serial"] = box.serial;
            entry["product_id"] = box.productId;
            entry["box_id"] = box.boxId ? nlohmann::ordered_json(*box.boxId) : nullptr;
            entry["usable"] = box.usable;
            entry["problem"] = box.problem.empty() ? nullptr : nlohmann::ordered_json(box.problem);
            entry["timing"] = box.timing.empty() ? nullptr : nlohmann::ordered_json(box.timing);
            entry["timing_reason"] =
                box.timing.empty() ? nullptr : nlohmann::ordered_json(box.timingReason);
            document["boxes"].push_back(entry);
        }
        document["ok"] = ok;
        out << document.dump() << '\n';
        return ok ? 0 : 1;
    }

    if (nothingFound) {
        out << "No IO box attached: no IO-Warrior device node in " << options.directory << ".\n";
        if (!moduleLoaded) {
            out << "If a box is plugged in, " << moduleHint << ".\n";
        }
        return 0;
    }
    out << "IO-Warrior device nodes in " << options.directory << ":\n";
    for (const auto& node : discovery.nodes) {
        out << "  " << node.path;
        if (node.identified) {
            out << "  serial " << node.serial << "  product " << Hex(node.productId)
                << "  interface " << node.interfaceNumber;
        }
        if (node.problem.empty()) {
            out << "  ok\n";
        } else {
            out << "\n    problem: " << node.problem << "\n    fix: " << FixFor(node) << '\n';
        }
    }
    out << "IO boxes:\n";
    if (boxes.empty()) {
        out << "  none usable\n";
    }
    for (const auto& box : boxes) {
        out << "  serial " << box.serial << "  product " << Hex(box.productId);
        if (box.boxId) {
            out << "  box id " << *box.boxId;
        }
        out << (box.problem.empty() ? "  ready" : "  " + box.problem) << '\n';
        if (!box.timing.empty()) {
            out << "    samples with " << box.timing << " waits: " << box.timingReason << '\n';
        }
    }
    out << (ok ? "Every IO box found can be used.\n"
               : "Some IO-Warrior nodes or boxes cannot be used; see the fixes above.\n");
    return ok ? 0 : 1;
}

}  // namespace zentrix::cli
