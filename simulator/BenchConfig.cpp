#include "simulator/BenchConfig.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <set>
#include <sstream>

namespace zentrix::sim {

namespace {

// A tenth of a second: far past any wait of the plug-in's between a pin report and a frame.
constexpr std::int64_t kLongestLateSelectUs = 100000;

using nlohmann::json;

[[noreturn]] void Fail(const std::string& field, const std::string& problem) {
    throw BenchConfigError(field + ": " + problem);
}

std::string MemberPath(const std::string& path, const std::string& key) {
    std::string member = path;
    member += '.';
    member += key;
    return member;
}

std::string Indexed(const std::string& path, const char* name, std::size_t index) {
    return path + "." + name + "[" + std::to_string(index) + "]";
}

void RequireObject(const json& value, const std::string& path) {
    if (!value.is_object()) {
        Fail(path, "must be a JSON object");
    }
}

void RejectUnknownFields(const json& object, const std::string& path,
                         std::initializer_list<std::string_view> known) {
    for (const auto& [key, value] : object.items()) {
        bool isKnown = false;
        for (const auto name : known) {
            isKnown = isKnown || key == name;
        }
        if (!isKnown) {
            Fail(path, "unknown field \"" + key + "\"");
        }
    }
}

const json& RequireField(const json& object, const std::string& path, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) {
        Fail(path + "." + name, "is missing");
    }
    return *found;
}

// Reads an integer that fits [min, max]; the semantic ranges are checked by ValidateBenchConfig.
std::int64_t ReadInteger(const json& value, const std::string& path, std::int64_t min,
                         std::int64_t max) {
    if (!value.is_number_integer()) {
        Fail(path, "must be an integer");
    }
    const bool tooLarge =
        value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(max);
    const std::int64_t number = tooLarge ? max : value.get<std::int64_t>();
    if (min == 0 && number < 0) {
        Fail(path, "must not be negative (got " + std::to_string(number) + ")");
    }
    if (tooLarge || number < min || number > max) {
        Fail(path, "must be between " + std::to_string(min) + " and " + std::to_string(max) +
                       " (got " + value.dump() + ")");
    }
    return number;
}

int ReadInt(const json& value, const std::string& path) {
    return static_cast<int>(
        ReadInteger(value, path, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

std::uint32_t ReadUnsigned(const json& value, const std::string& path) {
    return static_cast<std::uint32_t>(
        ReadInteger(value, path, 0, std::numeric_limits<std::uint32_t>::max()));
}

double ReadNumber(const json& value, const std::string& path) {
    if (!value.is_number()) {
        Fail(path, "must be a number");
    }
    return value.get<double>();
}

std::string ReadString(const json& value, const std::string& path) {
    if (!value.is_string()) {
        Fail(path, "must be a string");
    }
    return value.get<std::string>();
}

int ReadPortKey(const std::string& key, const std::string& path) {
    const bool digitsOnly =
        !key.empty() && key.size() <= 3 && key.find_first_not_of("0123456789") == std::string::npos;
    if (!digitsOnly) {
        Fail(path, "key \"" + key + "\" is not a port number");
    }
    return std::stoi(key);
}

SdiBoard ReadSdiBoard(const json& value, const std::string& path) {
    const auto name = ReadString(value, path);
    if (name == "top-unit-interface") {
        return SdiBoard::TopUnitInterface;
    }
    if (name == "lickometer") {
        return SdiBoard::Lickometer;
    }
    Fail(path, "unknown board \"" + name + "\" (known: top-unit-interface, lickometer)");
}

TtlDevice ReadTtlDevice(const json& value, const std::string& path) {
    const auto name = ReadString(value, path);
    if (name == "pellet-dispenser") {
        return TtlDevice::PelletDispenser;
    }
    Fail(path, "unknown device \"" + name + "\" (known: pellet-dispenser)");
}

InputSource ReadInputSource(const json& value, const std::string& path) {
    RequireObject(value, path);
    InputSource source;
    source.port = ReadInt(RequireField(value, path, "port"), path + ".port");
    source.line = ReadInt(RequireField(value, path, "line"), path + ".line");
    if (value.contains("level")) {
        RejectUnknownFields(value, path, {"port", "line", "level"});
        source.drive = ConstantLevel{ReadInt(value["level"], path + ".level")};
        return source;
    }
    RejectUnknownFields(value, path,
                        {"port", "line", "every_ms", "low_ms", "bounce_ms", "start_ms", "count"});
    PulseTrain train;
    train.everyMs = ReadUnsigned(RequireField(value, path, "every_ms"), path + ".every_ms");
    train.lowMs = ReadUnsigned(RequireField(value, path, "low_ms"), path + ".low_ms");
    if (value.contains("bounce_ms")) {
        train.bounceMs = ReadUnsigned(value["bounce_ms"], path + ".bounce_ms");
    }
    if (value.contains("start_ms")) {
        train.startMs = ReadUnsigned(value["start_ms"], path + ".start_ms");
    }
    if (value.contains("count")) {
        train.count = ReadUnsigned(value["count"], path + ".count");
    }
    source.drive = train;
    return source;
}

LickSource ReadLickSource(const json& value, const std::string& path) {
    RequireObject(value, path);
    RejectUnknownFields(value, path, {"sdi", "per_second", "lick_ms", "start_ms", "count"});
    LickSource source;
    source.sdi = ReadInt(RequireField(value, path, "sdi"), path + ".sdi");
    source.perSecond = ReadNumber(RequireField(value, path, "per_second"), path + ".per_second");
    source.lickMs = ReadUnsigned(RequireField(value, path, "lick_ms"), path + ".lick_ms");
    if (value.contains("start_ms")) {
        source.startMs = ReadUnsigned(value["start_ms"], path + ".start_ms");
    }
    if (value.contains("count")) {
        source.count = ReadUnsigned(value["count"], path + ".count");
    }
    return source;
}

FaultConfig ReadFaults(const json& value, const std::string& path) {
    RequireObject(value, path);
    RejectUnknownFields(
        value, path,
        {"short_reads", "throw_on_read", "unplug_after_reports", "silent_after_reports"});
    FaultConfig faults;
    if (value.contains("short_reads")) {
        faults.shortReads = ReadUnsigned(value["short_reads"], path + ".short_reads");
    }
    if (value.contains("throw_on_read")) {
        faults.throwOnRead = ReadUnsigned(value["throw_on_read"], path + ".throw_on_read");
    }
    if (value.contains("unplug_after_reports")) {
        faults.unplugAfterReports =
            ReadUnsigned(value["unplug_after_reports"], path + ".unplug_after_reports");
    }
    if (value.contains("silent_after_reports")) {
        faults.silentAfterReports =
            ReadUnsigned(value["silent_after_reports"], path + ".silent_after_reports");
    }
    return faults;
}

const json& RequireArray(const json& value, const std::string& path) {
    if (!value.is_array()) {
        Fail(path, "must be a JSON array");
    }
    return value;
}

BoxConfig ReadBox(const json& value, const std::string& path) {
    RequireObject(value, path);
    RejectUnknownFields(value, path,
                        {"box_id", "product_id", "serial", "sdi", "ttl", "inputs", "licks",
                         "faults", "late_select_us"});
    BoxConfig box;
    box.boxId = ReadInt(RequireField(value, path, "box_id"), path + ".box_id");
    if (value.contains("product_id")) {
        box.productId = ReadUnsigned(value["product_id"], path + ".product_id");
    }
    if (value.contains("serial")) {
        box.serial = ReadString(value["serial"], path + ".serial");
    }
    if (value.contains("sdi")) {
        const auto sdiPath = path + ".sdi";
        RequireObject(value["sdi"], sdiPath);
        for (const auto& [key, board] : value["sdi"].items()) {
            const int port = ReadPortKey(key, sdiPath);
            box.sdiBoards[port] = ReadSdiBoard(board, MemberPath(sdiPath, key));
        }
    }
    if (value.contains("ttl")) {
        const auto ttlPath = path + ".ttl";
        RequireObject(value["ttl"], ttlPath);
        for (const auto& [key, device] : value["ttl"].items()) {
            const int port = ReadPortKey(key, ttlPath);
            box.ttlDevices[port] = ReadTtlDevice(device, MemberPath(ttlPath, key));
        }
    }
    if (value.contains("inputs")) {
        const auto& inputs = RequireArray(value["inputs"], path + ".inputs");
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            box.inputs.push_back(ReadInputSource(inputs[i], Indexed(path, "inputs", i)));
        }
    }
    if (value.contains("licks")) {
        const auto& licks = RequireArray(value["licks"], path + ".licks");
        for (std::size_t i = 0; i < licks.size(); ++i) {
            box.licks.push_back(ReadLickSource(licks[i], Indexed(path, "licks", i)));
        }
    }
    if (value.contains("faults")) {
        box.faults = ReadFaults(value["faults"], path + ".faults");
    }
    if (value.contains("late_select_us")) {
        box.lateSelectUs = ReadUnsigned(value["late_select_us"], path + ".late_select_us");
    }
    return box;
}

void RequireRange(std::int64_t value, std::int64_t min, std::int64_t max, const std::string& path) {
    if (value < min || value > max) {
        Fail(path, "must be between " + std::to_string(min) + " and " + std::to_string(max) +
                       " (got " + std::to_string(value) + ")");
    }
}

void ValidateSerial(const std::string& serial, const std::string& path) {
    if (serial.empty()) {
        return;
    }
    bool printable = serial.size() == kIowSerialLength;
    for (const char c : serial) {
        printable = printable && c > ' ' && c <= '~';
    }
    if (!printable) {
        Fail(path, "must be " + std::to_string(kIowSerialLength) +
                       " printable ASCII characters (got \"" + serial + "\")");
    }
}

void ValidatePulseTrain(const PulseTrain& train, const std::string& path) {
    if (train.lowMs == 0) {
        Fail(path + ".low_ms", "must be greater than 0");
    }
    if (train.everyMs <= train.lowMs) {
        Fail(path + ".every_ms", "must be greater than low_ms (got " +
                                     std::to_string(train.everyMs) +
                                     " <= " + std::to_string(train.lowMs) + ")");
    }
    if (train.bounceMs >= train.lowMs || train.bounceMs >= train.everyMs - train.lowMs) {
        Fail(path + ".bounce_ms", "must be less than low_ms and less than every_ms - low_ms");
    }
}

void ValidateBox(const BoxConfig& box, const std::string& path) {
    RequireRange(box.boxId, 0, 255, path + ".box_id");
    RequireRange(box.productId, 0, 0xFFFF, path + ".product_id");
    RequireRange(box.lateSelectUs, 0, kLongestLateSelectUs, path + ".late_select_us");
    ValidateSerial(box.serial, path + ".serial");
    for (const auto& [port, board] : box.sdiBoards) {
        RequireRange(port, 1, kSdiPortCount, path + ".sdi." + std::to_string(port));
    }
    std::array<bool, kTtlLineCount * kTtlPortCount> driven{};
    for (const auto& [port, device] : box.ttlDevices) {
        RequireRange(port, 1, kTtlPortCount, path + ".ttl." + std::to_string(port));
        if (device == TtlDevice::PelletDispenser) {
            driven[2 * (port - 1)] = true;
            driven[2 * (port - 1) + 1] = true;
        }
    }
    for (std::size_t i = 0; i < box.inputs.size(); ++i) {
        const auto& input = box.inputs[i];
        const auto inputPath = Indexed(path, "inputs", i);
        RequireRange(input.port, 1, kTtlPortCount, inputPath + ".port");
        RequireRange(input.line, 1, 2, inputPath + ".line");
        auto& lineDriven = driven[2 * (input.port - 1) + (input.line - 1)];
        if (lineDriven) {
            Fail(inputPath, "TTL port " + std::to_string(input.port) + " line " +
                                std::to_string(input.line) +
                                " is already driven by another input or a device");
        }
        lineDriven = true;
        if (const auto* train = std::get_if<PulseTrain>(&input.drive)) {
            ValidatePulseTrain(*train, inputPath);
        } else {
            RequireRange(std::get<ConstantLevel>(input.drive).level, 0, 1, inputPath + ".level");
        }
    }
    std::set<int> lickingPorts;
    for (std::size_t i = 0; i < box.licks.size(); ++i) {
        const auto& lick = box.licks[i];
        const auto lickPath = Indexed(path, "licks", i);
        RequireRange(lick.sdi, 1, kSdiPortCount, lickPath + ".sdi");
        const auto board = box.sdiBoards.find(lick.sdi);
        if (board == box.sdiBoards.end() || board->second != SdiBoard::Lickometer) {
            Fail(lickPath + ".sdi", "SDI port " + std::to_string(lick.sdi) + " has no lickometer");
        }
        if (!lickingPorts.insert(lick.sdi).second) {
            Fail(lickPath + ".sdi",
                 "SDI port " + std::to_string(lick.sdi) + " already has a lick source");
        }
        if (!std::isfinite(lick.perSecond) || lick.perSecond <= 0.0) {
            Fail(lickPath + ".per_second", "must be a number greater than 0");
        }
        if (lick.lickMs == 0) {
            Fail(lickPath + ".lick_ms", "must be greater than 0");
        }
        if (static_cast<double>(lick.lickMs) * lick.perSecond >= 1000.0) {
            Fail(lickPath + ".lick_ms", "must be shorter than the time between licks (" +
                                            std::to_string(1000.0 / lick.perSecond) + " ms)");
        }
    }
}

}  // namespace

BenchConfig ParseBenchConfig(std::string_view jsonText) {
    json document;
    try {
        document = json::parse(jsonText);
    } catch (const json::exception& error) {
        throw BenchConfigError(std::string("bench is not valid JSON: ") + error.what());
    }
    const std::string root = "bench";
    RequireObject(document, root);
    RejectUnknownFields(document, root, {"event_log", "controllers"});
    BenchConfig config;
    if (document.contains("event_log")) {
        config.eventLog = ReadString(document["event_log"], "event_log");
    }
    const auto& controllers =
        RequireArray(RequireField(document, root, "controllers"), "controllers");
    for (std::size_t i = 0; i < controllers.size(); ++i) {
        config.boxes.push_back(ReadBox(controllers[i], "controllers[" + std::to_string(i) + "]"));
    }
    ValidateBenchConfig(config);
    return config;
}

BenchConfig LoadBenchConfig(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw BenchConfigError("cannot read bench file " + file.string());
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return ParseBenchConfig(text.str());
    } catch (const BenchConfigError& error) {
        throw BenchConfigError(file.string() + ": " + error.what());
    }
}

void ValidateBenchConfig(const BenchConfig& config) {
    for (std::size_t i = 0; i < config.boxes.size(); ++i) {
        ValidateBox(config.boxes[i], "controllers[" + std::to_string(i) + "]");
    }
}

BenchConfig DemoBench() {
    BoxConfig box;
    box.boxId = 0;
    box.productId = kIoWarrior56ProductId;
    box.serial = DefaultSerial(0);
    box.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {3, SdiBoard::Lickometer}};
    box.ttlDevices = {{5, TtlDevice::PelletDispenser}};
    box.inputs = {InputSource{3, 1, PulseTrain{1000, 100, 0}}};
    box.licks = {LickSource{3, 4.0, 50}};
    BenchConfig bench;
    bench.boxes.push_back(box);
    return bench;
}

std::string DefaultSerial(std::size_t boxIndex) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%08zu", 1001 + boxIndex);
    return text.data();
}

}  // namespace zentrix::sim
