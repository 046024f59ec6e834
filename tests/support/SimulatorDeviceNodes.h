// Device nodes that present a simulated bench's boxes as the Linux iowarrior driver would: two
// nodes per box, reports in and reports out, so that the kernel-driver backend can carry the same
// end-to-end tests as the simulator itself.
#ifndef ZENTRIX_TESTS_SUPPORT_SIMULATORDEVICENODES_H
#define ZENTRIX_TESTS_SUPPORT_SIMULATORDEVICENODES_H

#include <poll.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/LinuxDeviceNodes.h"
#include "simulator/SimulatedBench.h"

namespace zentrix::testing {

class SimulatorDeviceNodes final : public DeviceNodes {
public:
    static constexpr std::uint32_t kPinReportSize = kIow56PinReportSize - 1;

    // Box i gets the minors kFirstMinor + 3 i (pins) and kFirstMinor + 3 i + 1 (special modes),
    // listed with the special-mode nodes first, as a shared minor pool can hand them out.
    static constexpr unsigned kFirstMinor = 5;

    SimulatorDeviceNodes(sim::SimulatedBench& bench, Clock& clock,
                         std::string directory = "/simulated/dev/usb")
        : m_bench(bench), m_clock(clock), m_directory(std::move(directory)) {}

    const std::string& Directory() const { return m_directory; }

    // The box's nodes hang up and then answer ENODEV, as the driver's do after an unplug.
    void Unplug(std::size_t box) {
        const std::lock_guard lock(m_mutex);
        m_unplugged[box] = true;
    }

    int ListDirectory(const std::string& directory, std::vector<std::string>& names) override {
        if (directory != m_directory) {
            return -ENOENT;
        }
        names.clear();
        for (std::size_t box = m_bench.BoxCount(); box-- > 0;) {
            names.push_back("iowarrior" + std::to_string(Minor(box, 1)));
            names.push_back("iowarrior" + std::to_string(Minor(box, 0)));
        }
        return 0;
    }

    int Open(const std::string& path) override {
        const std::lock_guard lock(m_mutex);
        for (std::size_t box = 0; box < m_bench.BoxCount(); ++box) {
            for (std::uint32_t ifNum : {0u, 1u}) {
                if (path != m_directory + "/iowarrior" + std::to_string(Minor(box, ifNum))) {
                    continue;
                }
                if (Unplugged(box)) {
                    return -ENODEV;
                }
                for (const auto& [fd, node] : m_open) {
                    if (node.box == box && node.ifNum == ifNum) {
                        return -EBUSY;
                    }
                }
                if (m_open.empty() && !m_bench.IsOpen()) {
                    m_bench.OpenDevice();
                }
                const int fd = m_nextFd++;
                m_open[fd] = OpenNode{box, ifNum};
                return fd;
            }
        }
        return -ENOENT;
    }

    void Close(int fd) override {
        const std::lock_guard lock(m_mutex);
        if (m_open.erase(fd) != 0 && m_open.empty()) {
            m_bench.CloseDevice(nullptr);
        }
    }

    int GetInfo(int fd, IowarriorInfo& info) override {
        const std::lock_guard lock(m_mutex);
        const OpenNode* node = Find(fd);
        if (node == nullptr) {
            return -EBADF;
        }
        info = IowarriorInfo{};
        info.vendor = kCodeMercenariesVendorId;
        info.product = m_bench.Box(node->box).ProductId();
        const std::string& serial = m_bench.Box(node->box).Serial();
        std::memcpy(info.serial, serial.c_str(), std::min<std::size_t>(serial.size(), 8));
        info.if_num = node->ifNum;
        info.report_size = node->ifNum == 0 ? kPinReportSize : kIow56SpecialReportSize;
        return 0;
    }

    long Write(int fd, const std::uint8_t* data, std::size_t length) override {
        const std::lock_guard lock(m_mutex);
        const OpenNode* node = Find(fd);
        if (node == nullptr) {
            return -EBADF;
        }
        if (Unplugged(node->box)) {
            return -ENODEV;
        }
        const IowHandle handle = m_bench.GetDeviceHandle(static_cast<std::int32_t>(node->box) + 1);
        if (node->ifNum == 0) {
            if (length != kPinReportSize) {
                return -EINVAL;
            }
            std::array<std::uint8_t, kIow56PinReportSize> report{};
            std::copy_n(data, length, report.begin() + 1);
            return m_bench.Write(handle, kIowPipeIoPins, report.data(), kIow56PinReportSize) ==
                           kIow56PinReportSize
                       ? static_cast<long>(length)
                       : -EIO;
        }
        if (length != kIow56SpecialReportSize) {
            return -EINVAL;
        }
        return m_bench.Write(handle, kIowPipeSpecialMode, data, kIow56SpecialReportSize) ==
                       kIow56SpecialReportSize
                   ? static_cast<long>(length)
                   : -EIO;
    }

    long Read(int fd, std::uint8_t* data, std::size_t length) override {
        const std::lock_guard lock(m_mutex);
        const OpenNode* node = Find(fd);
        if (node == nullptr) {
            return -EBADF;
        }
        if (Unplugged(node->box)) {
            return -ENODEV;
        }
        const std::uint32_t size = node->ifNum == 0 ? kPinReportSize : kIow56SpecialReportSize;
        if (length != size && length != size + 1) {
            return -EINVAL;
        }
        // The simulated box sends pin reports never and special-mode replies only when asked.
        if (node->ifNum == 0 || m_bench.Box(node->box).PendingReplies() == 0) {
            return -EAGAIN;
        }
        const IowHandle handle = m_bench.GetDeviceHandle(static_cast<std::int32_t>(node->box) + 1);
        return m_bench.Read(handle, kIowPipeSpecialMode, data, size) == size
                   ? static_cast<long>(size)
                   : -EAGAIN;
    }

    int Poll(int fd, short events, int timeoutMs) override {
        std::unique_lock lock(m_mutex);
        const OpenNode* node = Find(fd);
        if (node == nullptr) {
            return POLLNVAL;
        }
        if (Unplugged(node->box)) {
            return POLLERR | POLLHUP;
        }
        if ((events & POLLOUT) != 0) {
            return POLLOUT;
        }
        if (node->ifNum == 1 && m_bench.Box(node->box).PendingReplies() > 0) {
            return POLLIN;
        }
        lock.unlock();
        // Nothing is coming: the wait runs out on the bench's time, as the simulator's read does.
        m_clock.SleepMs(static_cast<std::uint32_t>(timeoutMs));
        return 0;
    }

    int OpenCount() {
        const std::lock_guard lock(m_mutex);
        return static_cast<int>(m_open.size());
    }

private:
    struct OpenNode {
        std::size_t box = 0;
        std::uint32_t ifNum = 0;
    };

    static unsigned Minor(std::size_t box, std::uint32_t ifNum) {
        return kFirstMinor + 3 * static_cast<unsigned>(box) + ifNum;
    }

    const OpenNode* Find(int fd) const {
        const auto it = m_open.find(fd);
        return it != m_open.end() ? &it->second : nullptr;
    }

    bool Unplugged(std::size_t box) { return m_unplugged[box] || m_bench.Box(box).IsUnplugged(); }

    sim::SimulatedBench& m_bench;
    Clock& m_clock;
    const std::string m_directory;
    std::mutex m_mutex;
    std::map<int, OpenNode> m_open;
    std::map<std::size_t, bool> m_unplugged;
    int m_nextFd = 3;
};

}  // namespace zentrix::testing

#endif
