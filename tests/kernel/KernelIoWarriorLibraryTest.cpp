// The kernel-driver backend against a scripted driver: which nodes become controllers and in what
// order, the exact bytes each node gets, read timeouts on virtual time, and unplugging.
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/IoWarriorBackendRegistry.h"
#include "platform/KernelIoWarriorLibrary.h"
#include "platform/Log.h"
#include "support/FakeIowarriorDriver.h"
#include "support/LogFile.h"
#include "support/TempDir.h"

namespace {

using zentrix::IowHandle;
using zentrix::KernelIoWarriorLibrary;
using zentrix::testing::FakeIowarriorDriver;
using Bytes = std::vector<std::uint8_t>;

class KernelBackendTest : public ::testing::Test {
protected:
    std::u16string Serial(IowHandle handle) {
        char16_t buffer[zentrix::kIowSerialLength + 1];
        std::fill(std::begin(buffer), std::end(buffer), u'?');
        EXPECT_TRUE(library.GetSerialNumber(handle, buffer));
        EXPECT_EQ(buffer[zentrix::kIowSerialLength], u'\0');
        return buffer;
    }

    std::vector<std::u16string> Serials() {
        std::vector<std::u16string> serials;
        for (std::int32_t n = 1; n <= library.GetNumDevs(); ++n) {
            serials.push_back(Serial(library.GetDeviceHandle(n)));
        }
        return serials;
    }

    zentrix::VirtualClock clock;
    FakeIowarriorDriver driver{clock};
    KernelIoWarriorLibrary library{"/dev/usb", driver, clock};
};

TEST_F(KernelBackendTest, ControllersComeInTheNumericOrderOfTheirPinNodesPairedBySerial) {
    // Listed out of order, with gaps, each special-mode node away from its pin node, one of them
    // below it; names that are no driver nodes are left alone.
    driver.AddController(12, 13, "00001AB2");
    driver.AddController(3, 40, "00001AB3");
    driver.AddController(41, 2, "00001AB4");
    for (const char* other : {"hiddev0", "iowarrior", "iowarrior7a", "iowarriorX", "lp0"}) {
        driver.AddOtherEntry(other);
    }
    const IowHandle first = library.OpenDevice();
    ASSERT_EQ(library.GetNumDevs(), 3);
    EXPECT_EQ(first, library.GetDeviceHandle(1));
    EXPECT_EQ(Serials(), (std::vector<std::u16string>{u"00001AB3", u"00001AB2", u"00001AB4"}));
    EXPECT_EQ(library.GetDeviceHandle(0), nullptr);
    EXPECT_EQ(library.GetDeviceHandle(4), nullptr);
    EXPECT_EQ(driver.OpenCount(), 6);

    // Each controller's pin report goes to its interface-0 node, wherever that sits.
    const Bytes report{0x00, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(library.Write(library.GetDeviceHandle(3), 0, report.data(), 8), 8u);
    EXPECT_EQ(driver.At(41).written, (std::vector<Bytes>{{1, 2, 3, 4, 5, 6, 7}}));
    EXPECT_EQ(driver.At(2).written, std::vector<Bytes>{FakeIowarriorDriver::ReadPinsRequest()})
        << "its read-back goes to the controller's own interface-1 node";
    EXPECT_TRUE(driver.At(40).written.empty());
}

TEST_F(KernelBackendTest, ShortSerialNumbersAreZeroFilled) {
    driver.AddController(0, 1, "12AB");
    library.OpenDevice();
    char16_t buffer[zentrix::kIowSerialLength + 1];
    std::fill(std::begin(buffer), std::end(buffer), u'?');
    ASSERT_TRUE(library.GetSerialNumber(library.GetDeviceHandle(1), buffer));
    EXPECT_EQ(std::u16string(buffer, std::size(buffer)), std::u16string(u"12AB\0\0\0\0\0", 9));
}

TEST_F(KernelBackendTest, AControllerWithANodeBusyOrForbiddenIsSkippedWholeAndLeftClosed) {
    driver.AddController(0, 1, "0000000A");
    driver.AddController(2, 3, "0000000B");
    driver.AddController(4, 5, "0000000C");
    driver.AddController(6, 7, "0000000D");
    driver.At(1).openError = EBUSY;
    driver.At(2).openError = EACCES;
    driver.At(7).infoError = EIO;
    library.OpenDevice();
    EXPECT_EQ(Serials(), (std::vector<std::u16string>{u"0000000C"}));
    // The halves that opened are not held, so that another program can have the box.
    EXPECT_EQ(driver.OpenCount(), 2);
    EXPECT_GE(driver.At(4).fd, 3);
    EXPECT_GE(driver.At(5).fd, 3);
    EXPECT_EQ(driver.At(0).fd, -1);
    EXPECT_EQ(driver.At(3).fd, -1);
    EXPECT_EQ(driver.At(6).fd, -1);
    EXPECT_EQ(driver.BadCloses(), 0);
}

TEST_F(KernelBackendTest, EachSkippedNodeIsLoggedWithItsReason) {
    zentrix::testing::TempDir dir;
    const auto log = dir.Path() / "log.txt";
    zentrix::ConfigureLog("debug:" + log.string());
    driver.AddController(0, 1, "0000000A");
    driver.AddController(2, 3, "0000000B");
    driver.AddController(4, 5, "0000000C");
    driver.At(1).openError = EBUSY;
    driver.At(2).openError = EACCES;
    driver.At(5).infoError = EIO;
    library.OpenDevice();
    const char* setting = std::getenv("ZENTRIX_LOG");
    zentrix::ConfigureLog(setting != nullptr ? setting : "");
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("/dev/usb/iowarrior1 cannot be opened: busy"), std::string::npos) << text;
    EXPECT_NE(text.find("/dev/usb/iowarrior2 cannot be opened: permission denied"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("/dev/usb/iowarrior5: the driver's info query failed"), std::string::npos)
        << text;
    EXPECT_NE(text.find("/dev/usb/iowarrior0 (serial 0000000A"), std::string::npos) << text;
}

TEST_F(KernelBackendTest, NodesThatMakeNoPairAreLeftOutAndLeftClosed) {
    driver.AddNode(0, "0000000A", 0, 0x1503);
    driver.AddNode(1, "0000000A", 1, 0x1500);
    driver.AddNode(2, "0000000B", 0);
    driver.AddNode(3, "0000000B", 1);
    driver.AddNode(4, "0000000B", 2);
    driver.AddNode(5, "0000000B", 1);
    driver.AddNode(6, "0000000C", 1);
    library.OpenDevice();
    EXPECT_EQ(Serials(), (std::vector<std::u16string>{u"0000000B"}));
    EXPECT_EQ(driver.OpenCount(), 2);
    EXPECT_GE(driver.At(2).fd, 3);
    EXPECT_GE(driver.At(3).fd, 3);
    EXPECT_EQ(driver.BadCloses(), 0);
}

TEST_F(KernelBackendTest, NoDirectoryOrNoNodesOpensNothing) {
    driver.SetListError(ENOENT);
    EXPECT_EQ(library.OpenDevice(), nullptr);
    EXPECT_EQ(library.GetNumDevs(), 0);
    driver.SetListError(0);
    driver.AddOtherEntry("hiddev0");
    EXPECT_EQ(library.OpenDevice(), nullptr);
    EXPECT_EQ(library.GetNumDevs(), 0);
}

TEST_F(KernelBackendTest, OtherProductsAreReportedWithTheirProductId) {
    driver.AddController(0, 1, "0000000A", 0x1500);
    driver.AddController(2, 3, "0000000B");
    library.OpenDevice();
    ASSERT_EQ(library.GetNumDevs(), 2);
    EXPECT_EQ(library.GetProductId(library.GetDeviceHandle(1)), 0x1500u);
    EXPECT_EQ(library.GetProductId(library.GetDeviceHandle(2)), 0x1503u);
}

TEST_F(KernelBackendTest, PinReportsLoseTheirReportIdAndSpecialReportsGoWhole) {
    driver.AddController(0, 1, "0000000A");
    const IowHandle box = library.OpenDevice();
    const Bytes pins{0x00, 0xFF, 0xFF, 0xFF, 0xFE, 0xBF, 0xFF, 0xFF};
    EXPECT_EQ(library.Write(box, 0, pins.data(), 8), 8u);
    Bytes special(64, 0);
    special[0] = 0x09;
    special[1] = 0x04;
    special[3] = 0xCC;
    special[63] = 0x5A;
    EXPECT_EQ(library.Write(box, 1, special.data(), 64), 64u);
    EXPECT_EQ(driver.At(0).written,
              (std::vector<Bytes>{{0xFF, 0xFF, 0xFF, 0xFE, 0xBF, 0xFF, 0xFF}}));
    EXPECT_EQ(driver.At(1).written,
              (std::vector<Bytes>{FakeIowarriorDriver::ReadPinsRequest(), special}));

    // A report of another size is refused by the driver, and the write reports nothing written.
    EXPECT_EQ(library.Write(box, 1, special.data(), 8), 0u);
    EXPECT_EQ(library.Write(box, 0, special.data(), 64), 0u);
    EXPECT_EQ(library.Write(box, 2, special.data(), 64), 0u);
    EXPECT_EQ(driver.At(1).written.size(), 2u);
}

// The driver only submits a write; a special-mode report written next could reach the box first.
TEST_F(KernelBackendTest, APinReportReturnsOnceAReadBackOfThePinsShowsItArrived) {
    driver.AddController(0, 1, "0000000A");
    const IowHandle box = library.OpenDevice();
    const Bytes select{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xBF, 0xFF, 0xFF};
    const Bytes deselect{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

    // Two read-backs overtook the report and show the levels before it; a late reply of another
    // request sits in front of them.
    Bytes late(64, 0);
    late[0] = 0x09;
    driver.At(1).reports.emplace_back(0, late);
    driver.At(1).answersReadPins = true;
    driver.At(1).staleReadBacks = 2;
    EXPECT_EQ(library.Write(box, 0, select.data(), 8), 8u);
    EXPECT_EQ(driver.At(1).written.size(), 3u) << "asked until the select showed";
    EXPECT_TRUE(driver.At(1).reports.empty()) << "every answer taken, the late reply dropped";

    // Releasing a pin is seen by the pin reading high again.
    driver.At(1).staleReadBacks = 1;
    EXPECT_EQ(library.Write(box, 0, deselect.data(), 8), 8u);
    EXPECT_EQ(driver.At(1).written.size(), 5u);

    // A box that answers nothing costs the write timeout, and the report still counts as written.
    driver.At(1).answersReadPins = false;
    library.SetWriteTimeout(box, 40);
    const std::uint32_t before = clock.NowMs();
    EXPECT_EQ(library.Write(box, 0, select.data(), 8), 8u);
    EXPECT_EQ(clock.NowMs() - before, 40u);
    EXPECT_EQ(driver.At(1).written.size(), 6u);
}

TEST_F(KernelBackendTest, AWriteWithTooManyInFlightWaitsForRoomAtMostTheWriteTimeout) {
    driver.AddController(0, 1, "0000000A");
    const IowHandle box = library.OpenDevice();
    library.SetWriteTimeout(box, 300);
    driver.At(1).writesInFlightFull = 1;
    const Bytes special(64, 0x08);
    EXPECT_EQ(library.Write(box, 1, special.data(), 64), 64u);
    EXPECT_EQ(driver.At(1).pollTimeouts, std::vector<int>{300});
    EXPECT_EQ(driver.At(1).written.size(), 1u);
}

TEST_F(KernelBackendTest, AReadWaitsTheReadTimeoutAndDeliversNothingWhenNoReportComes) {
    driver.AddController(0, 1, "0000000A");
    const IowHandle box = library.OpenDevice();
    Bytes buffer(64, 0xEE);
    const std::uint32_t start = clock.NowMs();
    EXPECT_EQ(library.Read(box, 1, buffer.data(), 64), 0u);
    EXPECT_EQ(clock.NowMs() - start, KernelIoWarriorLibrary::kDefaultTimeoutMs);
    library.SetTimeout(box, 250);
    EXPECT_EQ(library.Read(box, 1, buffer.data(), 64), 0u);
    EXPECT_EQ(clock.NowMs() - start, KernelIoWarriorLibrary::kDefaultTimeoutMs + 250);
    EXPECT_EQ(driver.At(1).pollTimeouts, (std::vector<int>{1000, 250}));
    // A reply later than the timeout is not waited for.
    driver.QueueReport(1, Bytes(64, 0x09), 400);
    EXPECT_EQ(library.Read(box, 1, buffer.data(), 64), 0u);
    EXPECT_EQ(buffer, Bytes(64, 0xEE));
}

TEST_F(KernelBackendTest, AReadDeliversAReportThatArrivesWithinTheTimeout) {
    driver.AddController(0, 1, "0000000A");
    const IowHandle box = library.OpenDevice();
    library.SetTimeout(box, 1000);
    Bytes reply(64, 0);
    reply[0] = 0xFF;
    reply[3] = 0x07;
    driver.QueueReport(1, reply, 30);
    Bytes buffer(64, 0xEE);
    const std::uint32_t start = clock.NowMs();
    EXPECT_EQ(library.Read(box, 1, buffer.data(), 64), 64u);
    EXPECT_EQ(buffer, reply);
    EXPECT_EQ(clock.NowMs() - start, 30u);

    // A pin report arrives without a report id and is handed on with 0 in front.
    driver.QueueReport(0, Bytes{1, 2, 3, 4, 5, 6, 7});
    Bytes pins(8, 0xEE);
    EXPECT_EQ(library.Read(box, 0, pins.data(), 8), 8u);
    EXPECT_EQ(pins, (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(KernelBackendTest, ReportsLeftInTheDriversQueuesBeforeTheOpenAreDiscardedAndCounted) {
    const zentrix::testing::LogFile log;
    driver.AddController(0, 1, "0000000A");
    driver.AddController(2, 3, "0000000B");
    // A process killed in the middle of an exchange left a reply unread, and the pins changed.
    Bytes stale(64, 0);
    stale[0] = 0xFF;
    stale[3] = 165;
    driver.QueueReport(1, stale);
    driver.QueueReport(1, Bytes(64, 0x09));
    driver.QueueReport(0, Bytes{1, 2, 3, 4, 5, 6, 7});
    // A report that arrives after the open is the box's answer to this user and stays.
    Bytes fresh(64, 0);
    fresh[0] = 0xFF;
    fresh[3] = 5;
    driver.QueueReport(3, fresh, 50);

    library.OpenDevice();
    ASSERT_EQ(library.GetNumDevs(), 2);
    EXPECT_TRUE(driver.At(0).reports.empty());
    EXPECT_TRUE(driver.At(1).reports.empty());
    const IowHandle first = library.GetDeviceHandle(1);
    library.SetTimeout(first, 100);
    Bytes buffer(64, 0xEE);
    EXPECT_EQ(library.Read(first, 1, buffer.data(), 64), 0u);
    Bytes pins(8, 0xEE);
    EXPECT_EQ(library.Read(first, 0, pins.data(), 8), 0u);
    EXPECT_EQ(library.Read(library.GetDeviceHandle(2), 1, buffer.data(), 64), 64u);
    EXPECT_EQ(buffer, fresh);
    EXPECT_EQ(log.Lines({"zentrix: debug: kernel: /dev/usb/iowarrior1: discarded 2 report(s) left "
                         "waiting from before it was opened"})
                  .size(),
              1u)
        << log.Text();
    EXPECT_EQ(log.Lines({"/dev/usb/iowarrior0: discarded 1 report(s)"}).size(), 1u) << log.Text();
    EXPECT_EQ(log.Lines({"/dev/usb/iowarrior3: discarded 0 report(s)"}).size(), 1u) << log.Text();
}

TEST_F(KernelBackendTest, AHangUpEndsTheControllerAndLeavesTheOthersWorking) {
    driver.AddController(0, 1, "0000000A");
    driver.AddController(2, 3, "0000000B");
    library.OpenDevice();
    const IowHandle gone = library.GetDeviceHandle(1);
    const IowHandle kept = library.GetDeviceHandle(2);
    driver.Unplug(1);
    Bytes buffer(64, 0);
    const std::uint32_t start = clock.NowMs();
    EXPECT_EQ(library.Read(gone, 1, buffer.data(), 64), 0u);
    EXPECT_EQ(clock.NowMs(), start);  // no wait for a box that is gone
    // Its nodes are let go and nothing more is sent to them.
    EXPECT_EQ(driver.At(0).fd, -1);
    EXPECT_EQ(driver.At(1).fd, -1);
    const Bytes pins{0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(library.Write(gone, 0, pins.data(), 8), 0u);
    EXPECT_TRUE(driver.At(0).written.empty());
    // The handle stays known until the library is closed.
    EXPECT_EQ(library.GetProductId(gone), 0x1503u);

    EXPECT_EQ(library.Write(kept, 0, pins.data(), 8), 8u);
    driver.QueueReport(3, Bytes(64, 0x09));
    EXPECT_EQ(library.Read(kept, 1, buffer.data(), 64), 64u);
}

TEST_F(KernelBackendTest, NoSuchDeviceOnAWriteEndsTheController) {
    driver.AddController(0, 1, "0000000A");
    const IowHandle box = library.OpenDevice();
    driver.At(0).unplugged = true;
    const Bytes pins{0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(library.Write(box, 0, pins.data(), 8), 0u);
    const Bytes special(64, 0x08);
    EXPECT_EQ(library.Write(box, 1, special.data(), 64), 0u);
    EXPECT_TRUE(driver.At(1).written.empty());
}

TEST_F(KernelBackendTest, HandlesFromBeforeACloseMatchNothing) {
    driver.AddController(0, 1, "0000000A");
    const IowHandle before = library.OpenDevice();
    library.CloseDevice(nullptr);
    EXPECT_EQ(driver.OpenCount(), 0);
    EXPECT_EQ(library.GetNumDevs(), 0);
    const Bytes pins{0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(library.Write(before, 0, pins.data(), 8), 0u);
    char16_t serial[zentrix::kIowSerialLength + 1] = {u'x'};
    EXPECT_FALSE(library.GetSerialNumber(before, serial));
    EXPECT_EQ(serial[0], u'\0');
    EXPECT_EQ(library.GetProductId(before), 0u);

    const IowHandle after = library.OpenDevice();
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after, before);
    EXPECT_EQ(library.Write(before, 0, pins.data(), 8), 0u);
    EXPECT_EQ(library.Write(after, 0, pins.data(), 8), 8u);
    EXPECT_EQ(driver.At(0).written.size(), 1u);
    EXPECT_EQ(library.Write(nullptr, 0, pins.data(), 8), 0u);
}

TEST_F(KernelBackendTest, ControllersCanBeUsedFromTwoThreadsAtOnce) {
    driver.AddController(0, 1, "0000000A");
    driver.AddController(2, 3, "0000000B");
    library.OpenDevice();
    auto exchange = [this](std::int32_t number, unsigned specialMinor) {
        const IowHandle box = library.GetDeviceHandle(number);
        library.SetTimeout(box, 0);
        Bytes report(64, static_cast<std::uint8_t>(number));
        for (int i = 0; i < 200; ++i) {
            library.Write(box, 1, report.data(), 64);
            driver.QueueReport(specialMinor, report);
            library.Read(box, 1, report.data(), 64);
        }
    };
    std::thread other(exchange, 2, 3);
    exchange(1, 1);
    other.join();
    EXPECT_EQ(driver.At(1).written.size(), 200u);
    EXPECT_EQ(driver.At(3).written.size(), 200u);
    EXPECT_EQ(driver.At(3).written.back(), Bytes(64, 2));
}

TEST(KernelBackendRegistration, KernelNamesTheBackendAndItsDirectory) {
    const zentrix::IoWarriorBackendInfo* info = zentrix::FindIoWarriorBackend("kernel");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->usage, "kernel[:DIR]");
    zentrix::VirtualClock clock;
    zentrix::testing::TempDir dir;
    const auto library = info->factory(dir.Path().string(), clock);
    auto* kernel = dynamic_cast<KernelIoWarriorLibrary*>(library.get());
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(kernel->Directory(), dir.Path().string());
    EXPECT_EQ(library->OpenDevice(), nullptr);

    const auto standard = info->factory("", clock);
    EXPECT_EQ(dynamic_cast<KernelIoWarriorLibrary&>(*standard).Directory(), "/dev/usb");

    const auto file = dir.Write("iowarrior0", "");
    EXPECT_THROW(info->factory(file.string(), clock), std::exception);
    EXPECT_THROW(info->factory((dir.Path() / "missing").string(), clock), std::exception);
}

}  // namespace
