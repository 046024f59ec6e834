#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "iobox/IOBox.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "platform/IoWarriorBackend.h"
#include "sampling/SignalProcessor.h"
#include "setup/HardwareSetup.h"
#include "support/TempDir.h"

namespace {

constexpr std::int32_t kLickometer = 1;
constexpr std::int32_t kCustom = 2;

class SignalProcessorTest : public ::testing::Test {
protected:
    SignalProcessorTest() {
        setup.AddDevice(-1, 15,
                        std::make_unique<TCHiIobDevice>(&setup, "licks", eDeviceTypeLickometer, -1,
                                                        kLickometer));
        setup.AddDevice(-1, 1,
                        std::make_unique<TCHiIobDevice>(&setup, "custom", eDeviceTypeCustomHardware,
                                                        -1, kCustom));
    }

    tagTECKavexIdtHiValue Read(std::int32_t device, std::int32_t signal,
                               const TCHiIobValue& current) {
        tagTECKavexIdtHiValue record;
        std::memset(&record, 0x5A, sizeof record);
        processor.Process(*setup.FindIOBox(-1), device, signal, current, record);
        return record;
    }

    static bool Untouched(const tagTECKavexIdtHiValue& record) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
        for (std::size_t i = 0; i < sizeof record; ++i) {
            if (bytes[i] != 0x5A) {
                return false;
            }
        }
        return true;
    }

    zentrix::testing::TempRegistry registry{""};
    zentrix::VirtualClock clock;
    zentrix::NullIoWarriorLibrary library;
    TCHiIobHardwareSetup setup{library, clock};
    TCHiIobSignalProcessor processor{&setup};
};

TEST_F(SignalProcessorTest, DifferentialReadsReportWhatAccruedSinceTheLastRead) {
    EXPECT_EQ(Read(kLickometer, 0, TCHiIobValue(std::int64_t{7})).m_lValueLongLong, 7);
    EXPECT_EQ(Read(kLickometer, 0, TCHiIobValue(std::int64_t{10})).m_lValueLongLong, 3);
    const tagTECKavexIdtHiValue none = Read(kLickometer, 0, TCHiIobValue(std::int64_t{10}));
    EXPECT_EQ(none.m_eType, eKavexIdtHiVtLongLong);
    EXPECT_EQ(none.m_lValueLongLong, 0);

    // Durations travel as integers and reach the host as microseconds.
    const tagTECKavexIdtHiValue first = Read(kLickometer, 1, TCHiIobValue(std::int64_t{30000}));
    EXPECT_EQ(first.m_eType, eKavexIdtHiVtDuration);
    EXPECT_EQ(first.m_nMicroSeconds, 30000);
    EXPECT_EQ(Read(kLickometer, 1, TCHiIobValue(std::int64_t{50000})).m_nMicroSeconds, 20000);

    processor.Clear();
    EXPECT_EQ(Read(kLickometer, 0, TCHiIobValue(std::int64_t{4})).m_lValueLongLong, 4);
}

TEST_F(SignalProcessorTest, StateSignalsReportTheCurrentValue) {
    const tagTECKavexIdtHiValue high = Read(kCustom, 3, TCHiIobValue(true));
    EXPECT_EQ(high.m_eType, eKavexIdtHiVtBool);
    EXPECT_EQ(high.m_bValueBoolean, 1);
    EXPECT_EQ(Read(kCustom, 3, TCHiIobValue(true)).m_bValueBoolean, 1);
    EXPECT_EQ(Read(kCustom, 3, TCHiIobValue(false)).m_bValueBoolean, 0);
}

TEST_F(SignalProcessorTest, UndefinedFirstReadBlocksLaterReadsUntilCleared) {
    // Read before sampling: the undefined value is recorded as the previous one.
    const tagTECKavexIdtHiValue early = Read(kLickometer, 1, TCHiIobValue());
    EXPECT_EQ(early.m_eType, eKavexIdtHiVtDuration);
    EXPECT_EQ(early.m_nMicroSeconds, 0);
    // Undefined minus anything is the current value.
    EXPECT_EQ(Read(kLickometer, 1, TCHiIobValue(std::int64_t{5})).m_nMicroSeconds, 5);
    EXPECT_TRUE(Untouched(Read(kLickometer, 1, TCHiIobValue())));
    EXPECT_TRUE(Untouched(Read(kLickometer, 1, TCHiIobValue(true))));
}

TEST_F(SignalProcessorTest, UnknownDeviceOrSignalLeavesTheRecordAlone) {
    EXPECT_TRUE(Untouched(Read(99, 0, TCHiIobValue(std::int64_t{1}))));
    EXPECT_TRUE(Untouched(Read(kLickometer, 2, TCHiIobValue(std::int64_t{1}))));
    EXPECT_TRUE(Untouched(Read(kCustom, 10, TCHiIobValue(true))));
}

}  // namespace
