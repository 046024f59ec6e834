// Costs of the per-signal work that every sampling period repeats for every linked device, and
// of the name conversion that every host list call repeats for every record.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "model/Catalog.h"
#include "model/Device.h"
#include "model/DeviceType.h"
#include "platform/IoWarriorBackend.h"
#include "platform/format/TextConversion.h"
#include "setup/HardwareSetup.h"

namespace {

void BM_DeriveLineSignal(benchmark::State& state) {
    zentrix::VirtualClock clock;
    zentrix::NullIoWarriorLibrary library;
    const TCHiIobHardwareSetup setup(library, clock);
    TCHiIobDevice device(&setup, "tester", eDeviceTypeCustomHardware, -1, 0);
    const TCHiIobSignal& signal = *setup.GetDeviceType(eDeviceTypeCustomHardware)->FindSignal(0);
    std::uint8_t level = 0;
    for (auto _ : state) {
        TCHiIobValue value;
        device.DeriveLineSignal(signal, level, value);
        level ^= 1;
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_DeriveLineSignal);

void BM_DeriveDataSignal(benchmark::State& state) {
    zentrix::VirtualClock clock;
    zentrix::NullIoWarriorLibrary library;
    const TCHiIobHardwareSetup setup(library, clock);
    TCHiIobDevice device(&setup, "lickometer", eDeviceTypeLickometer, -1, 0);
    const TCHiIobSignal& signal = *setup.GetDeviceType(eDeviceTypeLickometer)->FindSignal(1);
    const std::vector<std::uint8_t> bytes{3, 1};
    for (auto _ : state) {
        TCHiIobValue value;
        device.DeriveDataSignal(signal, bytes, value);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_DeriveDataSignal);

void BM_CopyNameToRecord(benchmark::State& state) {
    char16_t field[kKavexNameLength];
    for (auto _ : state) {
        benchmark::DoNotOptimize(zentrix::CopyToFixedName("Pellet Dispenser (KX-502)", field));
    }
}
BENCHMARK(BM_CopyNameToRecord);

void BM_BuildCatalog(benchmark::State& state) {
    for (auto _ : state) {
        TCHiIobConnectorTypes connectorTypes;
        TCHiIobDeviceTypes deviceTypes;
        BuildCatalog(connectorTypes, deviceTypes);
        benchmark::DoNotOptimize(deviceTypes.Find(3));
    }
}
BENCHMARK(BM_BuildCatalog);

}  // namespace
