#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/ComMemory.h"
#include "platform/Lock.h"
#include "platform/StringResources.h"
#include "platform/StringUtil.h"

namespace {

TEST(StringUtil, JoinPathAddsOneSeparator) {
    EXPECT_EQ(zentrix::JoinPath("/home/lab", "HardwareSetup.xml"), "/home/lab/HardwareSetup.xml");
    EXPECT_EQ(zentrix::JoinPath("/home/lab/", "HardwareSetup.xml"), "/home/lab/HardwareSetup.xml");
    EXPECT_EQ(zentrix::JoinPath("", "HardwareSetup.xml"), "HardwareSetup.xml");
}

TEST(StringUtil, FormatReplacesTheTargetWhateverItsLength) {
    std::string text = "old content";
    zentrix::FormatString(text, "IO Box %d Port \"%s\"", 3, "TTL Port 5");
    EXPECT_EQ(text, "IO Box 3 Port \"TTL Port 5\"");
    const std::string longArgument(10000, 'z');
    zentrix::FormatString(text, "<%s>", longArgument.c_str());
    EXPECT_EQ(text.size(), 10002u);
    EXPECT_EQ(text.back(), '>');
}

TEST(StringResources, TextsOfTheMappingDialog) {
    std::string message;
    zentrix::FormatString(message, zentrix::LoadStringResource(114).c_str(), 0, "SDI Port 1",
                          "Top Unit (Standard)", "SDI Port 2", "Lickometer (KX-503)");
    EXPECT_EQ(message,
              "IO Box 0 Port \"SDI Port 1\" \"Top Unit (Standard)\" has the same ID as\n"
              "Port \"SDI Port 2\" \"Lickometer (KX-503)\".\nThis is not allowed.");
    EXPECT_EQ(zentrix::LoadStringResource(115),
              "Port \"%s\" \"%s\" has no device ID.\nThis is not allowed.");
    EXPECT_EQ(zentrix::LoadStringResource(106), "<Enter device ID>");
    EXPECT_EQ(zentrix::LoadStringResource(108), "<No device connected>");
    EXPECT_EQ(zentrix::LoadStringResource(109), "\n");
    EXPECT_EQ(zentrix::LoadStringResource(111), "    ");
    EXPECT_EQ(zentrix::LoadStringResource(117), "Interface Port");
    EXPECT_EQ(zentrix::LoadStringResource(105), "");
}

TEST(Clock, VirtualTimeMovesOnlyBySleepingAndWraps) {
    zentrix::VirtualClock clock(0xFFFFFFF0u);
    EXPECT_EQ(clock.NowMs(), 0xFFFFFFF0u);
    clock.SleepMs(0x20);
    EXPECT_EQ(clock.NowMs(), 0x10u);
    zentrix::Clock& seam = clock;
    seam.SleepMs(2);
    EXPECT_EQ(seam.NowMs(), 0x12u);
}

TEST(Clock, SystemClockAdvances) {
    zentrix::Clock& clock = zentrix::SystemClock::Instance();
    const std::uint32_t before = clock.NowMs();
    clock.SleepMs(3);
    EXPECT_GE(static_cast<std::uint32_t>(clock.NowMs() - before), 3u);
}

TEST(Lock, ScopedLockExcludesOtherThreads) {
    zentrix::CriticalSection section;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            zentrix::ScopedLock lock(section);
            ++counter;
        }
    };
    std::thread other(work);
    work();
    other.join();
    EXPECT_EQ(counter, 20000);
}

TEST(ComMemory, ArraysAreOnTheCHeap) {
    void* empty = CoTaskMemAlloc(0);
    EXPECT_NE(empty, nullptr);
    CoTaskMemFree(empty);
    // A host may free with free() as well.
    void* block = CoTaskMemAlloc(288);
    ASSERT_NE(block, nullptr);
    std::free(block);
    CoTaskMemFree(nullptr);
}

}  // namespace
