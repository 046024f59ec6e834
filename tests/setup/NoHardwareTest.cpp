// What a box reports when it has no controller to read: the placeholder box of a setup that found
// none, a box whose controller another setup holds, and a box detached when its controller stopped
// answering. None of them may make up an edge or a level; and lick counts start at the start of
// sampling, whatever was licked while sampling was stopped.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"
#include "support/SetupQueries.h"
#include "support/TempDir.h"

namespace {

using zentrix::sim::BenchConfig;
using zentrix::sim::BoxConfig;
using zentrix::sim::ConstantLevel;
using zentrix::sim::FaultConfig;
using zentrix::sim::InputSource;
using zentrix::sim::LickSource;
using zentrix::sim::SdiBoard;
using zentrix::sim::TtlDevice;

enum class NoHardware { Placeholder, Unclaimed, Detached };

std::string WayName(const ::testing::TestParamInfo<NoHardware>& info) {
    switch (info.param) {
        case NoHardware::Placeholder:
            return "Placeholder";
        case NoHardware::Unclaimed:
            return "Unclaimed";
        case NoHardware::Detached:
            return "Detached";
    }
    return "Unknown";
}

constexpr std::int32_t kTtlTesterPort = 3;
constexpr std::int32_t kDispenserPort = 5;
constexpr std::int32_t kCustomPort = 7;
constexpr std::int32_t kTopUnitPort = 13;     // SDI 1
constexpr std::int32_t kLickometerPort = 15;  // SDI 3

constexpr std::int32_t kLightOneOn = 1;   // TTL port tester
constexpr std::int32_t kWhiteSpotOn = 1;  // top units

// One device of every type.
const std::vector<std::pair<std::int32_t, std::int32_t>> kDevices = {
    {eDeviceTypeTopUnitStandard, 1}, {eDeviceTypeTopUnitCorvane, 2},
    {eDeviceTypePelletDispenser, 3}, {eDeviceTypeLickometer, 4},
    {eDeviceTypeTtlPortTester, 5},   {eDeviceTypeCustomHardware, 6},
};

BenchConfig LabBench(bool withBox) {
    BenchConfig config;
    if (withBox) {
        BoxConfig box;
        box.sdiBoards = {{1, SdiBoard::TopUnitInterface}, {3, SdiBoard::Lickometer}};
        box.ttlDevices = {{kDispenserPort, TtlDevice::PelletDispenser}};
        // Lines held away from their idle level, so that a box that forgets what it read shows.
        box.inputs = {InputSource{kTtlTesterPort, 1, ConstantLevel{0}},
                      InputSource{kCustomPort, 1, ConstantLevel{0}}};
        box.licks = {LickSource{3, 20.0, 30}};
        config.boxes.push_back(box);
    }
    return config;
}

std::string Text(const tagTECKavexIdtHiValue& value) {
    switch (value.m_eType) {
        case eKavexIdtHiVtBool:
            return value.m_bValueBoolean != 0 ? "true" : "false";
        case eKavexIdtHiVtLongLong:
            return std::to_string(value.m_lValueLongLong);
        case eKavexIdtHiVtDouble:
            return std::to_string(value.m_dbValueDouble);
        case eKavexIdtHiVtDuration:
            return std::to_string(value.m_nMicroSeconds) + " us";
        default:
            return "undefined";
    }
}

class NoHardwareTest : public ::testing::TestWithParam<NoHardware> {
protected:
    NoHardwareTest()
        : bench(LabBench(GetParam() != NoHardware::Placeholder), clock),
          owner(std::make_unique<TCHiIobHardwareSetup>(bench, clock)) {
        if (GetParam() == NoHardware::Unclaimed) {
            setup = std::make_unique<TCHiIobHardwareSetup>(bench, clock);
        }
        boxId = GetParam() == NoHardware::Placeholder ? -1 : 0;
        Host().ChangeDevices([this] {
            for (const auto& [type, id] : kDevices) {
                Host().AddDevice(
                    boxId, PortOf(type),
                    std::make_unique<TCHiIobDevice>(&Host(), "device " + std::to_string(id), type,
                                                    type == eDeviceTypeTopUnitCorvane    ? 2
                                                    : type == eDeviceTypeTopUnitStandard ? 1
                                                                                         : -1,
                                                    id));
            }
        });
    }

    static std::int32_t PortOf(std::int32_t type) {
        switch (type) {
            case eDeviceTypeTopUnitStandard:
            case eDeviceTypeTopUnitCorvane:
                return kTopUnitPort;
            case eDeviceTypePelletDispenser:
                return kDispenserPort;
            case eDeviceTypeLickometer:
                return kLickometerPort;
            case eDeviceTypeTtlPortTester:
                return kTtlTesterPort;
            default:
                return kCustomPort;
        }
    }

    TCHiIobHardwareSetup& Host() { return setup ? *setup : *owner; }

    void RunFor(std::uint32_t milliseconds) {
        zentrix::testing::RunPeriods(Host(), clock, milliseconds);
    }

    // Every signal of every device, by (device, signal) and by name for the failure messages.
    std::map<std::pair<std::int32_t, std::int32_t>, std::string> ReadAll() {
        std::map<std::pair<std::int32_t, std::int32_t>, std::string> values;
        for (const auto& [type, id] : kDevices) {
            std::vector<const TCHiIobSignal*> signals;
            Host().GetDeviceType(type)->GetSignals(signals);
            for (const TCHiIobSignal* signal : signals) {
                tagTECKavexIdtHiValue record{};
                Host().ReceiveSignal(id, signal->GetId(), record);
                values[{id, signal->GetId()}] = signal->GetName() + ": " + Text(record);
            }
        }
        return values;
    }

    // What a box that never read its lines reports: inputs at their pulled-up idle level, outputs
    // off, nothing counted.
    std::map<std::pair<std::int32_t, std::int32_t>, std::string> IdleValues() {
        std::map<std::pair<std::int32_t, std::int32_t>, std::string> values;
        for (const auto& [type, id] : kDevices) {
            std::vector<const TCHiIobSignal*> signals;
            Host().GetDeviceType(type)->GetSignals(signals);
            for (const TCHiIobSignal* signal : signals) {
                std::string value;
                if (signal->GetKind() == eSignalKindData) {
                    value = signal->GetValueType() == eKavexIdtHiVtDuration ? "0 us" : "0";
                } else if (signal->GetSource() == eSignalSourceOutput) {
                    value = "false";
                } else if (signal->GetDerivation() == eDerivationIsLow) {
                    value = "false";
                } else if (signal->GetDerivation() == eDerivationIsHigh) {
                    value = "true";
                } else {
                    value = "0";
                }
                values[{id, signal->GetId()}] = signal->GetName() + ": " + value;
            }
        }
        return values;
    }

    // Counting signals read as the change since the previous read, so a second read with nothing
    // new reports zero; levels stay as they were.
    static std::map<std::pair<std::int32_t, std::int32_t>, std::string> NothingNew(
        std::map<std::pair<std::int32_t, std::int32_t>, std::string> values) {
        for (auto& [key, text] : values) {
            const std::string name = text.substr(0, text.find(':'));
            const std::string value = text.substr(text.find(':') + 2);
            if (value != "true" && value != "false") {
                text = name + ": " + (value.ends_with(" us") ? "0 us" : "0");
            }
        }
        return values;
    }

    void DriveEveryInput(bool level) {
        for (const std::int32_t port : {kTtlTesterPort, kCustomPort}) {
            for (const int line : {1, 2}) {
                bench.Box(0).DriveInput(port, line, level);
            }
        }
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    std::unique_ptr<TCHiIobHardwareSetup> owner;
    std::unique_ptr<TCHiIobHardwareSetup> setup;
    std::int32_t boxId = 0;
};

TEST_P(NoHardwareTest, EverySignalStaysAtWhatTheHardwareLastShowed) {
    Host().BeginSampling();
    Host().SendCommand(5, kLightOneOn);
    Host().SendCommand(1, kWhiteSpotOn);
    RunFor(2500);

    std::map<std::pair<std::int32_t, std::int32_t>, std::string> expected;
    if (GetParam() == NoHardware::Detached) {
        ASSERT_TRUE(Host().IsIODeviceConnected(0));
        const auto before = ReadAll();
        // The box had shown lines away from their idle levels, a light on and licks.
        EXPECT_EQ(before.at({6, 2}), "Is input 1 Low: true");
        EXPECT_EQ(before.at({5, 2}), "Is button 1 pressed: true");
        EXPECT_EQ(before.at({5, 8}), "Is light 1 on: true");
        EXPECT_NE(before.at({4, 0}), "Number of licks: 0");
        expected = NothingNew(before);
        bench.Box(0).SetFaults(FaultConfig{0, 0, 1});
        RunFor(10);
        // Whatever the lines do now is not seen by anyone.
        DriveEveryInput(true);
        RunFor(1000);
        DriveEveryInput(false);
        RunFor(1000);
        DriveEveryInput(true);
    } else {
        expected = IdleValues();
    }
    RunFor(2500);
    EXPECT_FALSE(Host().IsIODeviceConnected(boxId));
    EXPECT_EQ(ReadAll(), expected);
    EXPECT_EQ(ReadAll(), NothingNew(expected));

    // A new start of sampling does not make them up either.
    Host().EndSampling();
    Host().BeginSampling();
    RunFor(2500);
    EXPECT_EQ(ReadAll(), NothingNew(expected));
    Host().EndSampling();
    EXPECT_TRUE(bench.ProtocolErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(NoHardware, NoHardwareTest,
                         ::testing::Values(NoHardware::Placeholder, NoHardware::Unclaimed,
                                           NoHardware::Detached),
                         WayName);

class LicksWhileStoppedTest : public ::testing::Test {
protected:
    LicksWhileStoppedTest() { AddLickometer(); }

    void AddLickometer() {
        setup->ChangeDevices([this] {
            setup->RemoveAllDevices();
            ASSERT_TRUE(
                setup->AddDevice(0, kLickometerPort,
                                 std::make_unique<TCHiIobDevice>(setup.get(), "lickometer",
                                                                 eDeviceTypeLickometer, -1, 4)));
        });
    }

    void RunFor(std::uint32_t milliseconds) {
        zentrix::testing::RunPeriods(*setup, clock, milliseconds);
    }

    // The host's totals from the start of sampling must be what the lickometer shifted out after
    // it: nothing licked before the start is in them.
    void ExpectTotalsFromTheStart() {
        setup->BeginSampling();
        const zentrix::sim::LickometerReports atStart = bench.Box(0).ReportedLicks(3);
        RunFor(4500);
        const zentrix::sim::LickometerReports now = bench.Box(0).ReportedLicks(3);
        tagTECKavexIdtHiValue licks{};
        tagTECKavexIdtHiValue duration{};
        setup->ReceiveSignal(4, 0, licks);
        setup->ReceiveSignal(4, 1, duration);
        setup->EndSampling();
        // Two reads of a two-second period, twenty licks a second.
        EXPECT_GE(now.licks - atStart.licks, 70u);
        EXPECT_EQ(licks.m_lValueLongLong, static_cast<std::int64_t>(now.licks - atStart.licks));
        EXPECT_EQ(duration.m_nMicroSeconds,
                  static_cast<std::int64_t>(now.lickTimeMs - atStart.lickTimeMs) * 1000);
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench{LabBench(true), clock};
    std::unique_ptr<TCHiIobHardwareSetup> setup =
        std::make_unique<TCHiIobHardwareSetup>(bench, clock);
};

TEST_F(LicksWhileStoppedTest, CountsStartFromZeroAtEveryStart) {
    ExpectTotalsFromTheStart();
    clock.SleepMs(6000);
    ExpectTotalsFromTheStart();
    // Devices replaced while stopped, then licks before the next start.
    clock.SleepMs(3000);
    AddLickometer();
    clock.SleepMs(3000);
    ExpectTotalsFromTheStart();
    EXPECT_TRUE(bench.ProtocolErrors().empty());
}

}  // namespace
