// A scripted stand-in for the Linux iowarrior driver's device nodes: report sizes, reads that
// wait in poll() on virtual time, EBUSY, EACCES, and POLLHUP then ENODEV once a box is unplugged.
#ifndef ZENTRIX_TESTS_SUPPORT_FAKEIOWARRIORDRIVER_H
#define ZENTRIX_TESTS_SUPPORT_FAKEIOWARRIORDRIVER_H

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/LinuxDeviceNodes.h"

namespace zentrix::testing {

class FakeIowarriorDriver final : public DeviceNodes {
public:
    using Bytes = std::vector<std::uint8_t>;

    struct Node {
        std::string path;
        IowarriorInfo info;
        // errno values that refuse an open or the info query; 0 lets them succeed.
        int openError = 0;
        int infoError = 0;
        // Writes answered with EAGAIN before one goes through.
        int writesInFlightFull = 0;
        bool unplugged = false;
        int fd = -1;
        std::vector<Bytes> written;
        // Reports the box sends, each arriving at its time.
        std::deque<std::pair<std::uint32_t, Bytes>> reports;
        // The timeout of every poll() made on the node.
        std::vector<int> pollTimeouts;
        // When set, interface 1 answers a read-pins report (0xFF) with the levels last written to
        // its box's interface 0, as the box does; the first staleReadBacks answers show the
        // levels before them, as a read that overtook the pin report would.
        bool answersReadPins = false;
        int staleReadBacks = 0;
        Bytes pins = Bytes(7, 0xFF);
        Bytes pinsBefore = Bytes(7, 0xFF);
    };

    FakeIowarriorDriver(VirtualClock& clock, std::string directory = "/dev/usb")
        : m_clock(clock), m_directory(std::move(directory)) {}

    const std::string& Directory() const { return m_directory; }

    void AddNode(unsigned minor, const std::string& serial, std::uint32_t ifNum,
                 std::uint32_t product = 0x1503, std::uint32_t reportSize = 0) {
        const std::lock_guard lock(m_mutex);
        Node& node = m_nodes[minor];
        node.path = m_directory + "/iowarrior" + std::to_string(minor);
        node.info.vendor = kCodeMercenariesVendorId;
        node.info.product = product;
        std::memcpy(node.info.serial, serial.c_str(), std::min<std::size_t>(serial.size(), 8));
        node.info.if_num = ifNum;
        node.info.report_size = reportSize != 0 ? reportSize : (ifNum == 0 ? 7 : 64);
        m_names.push_back("iowarrior" + std::to_string(minor));
    }

    // An IO-Warrior 56 with its pin node at minor `pins` and its special-mode node at `special`.
    void AddController(unsigned pins, unsigned special, const std::string& serial,
                       std::uint32_t product = 0x1503) {
        AddNode(pins, serial, 0, product);
        AddNode(special, serial, 1, product);
    }

    // Other entries of the directory, which are no driver nodes.
    void AddOtherEntry(const std::string& name) {
        const std::lock_guard lock(m_mutex);
        m_names.push_back(name);
    }

    void SetListError(int error) { m_listError = error; }

    // Direct access for scripting and checking; not while the library under test runs.
    Node& At(unsigned minor) { return m_nodes.at(minor); }

    void QueueReport(unsigned minor, Bytes report, std::uint32_t delayMs = 0) {
        const std::lock_guard lock(m_mutex);
        m_nodes.at(minor).reports.emplace_back(m_clock.NowMs() + delayMs, std::move(report));
    }

    void Unplug(unsigned minor) {
        const std::lock_guard lock(m_mutex);
        m_nodes.at(minor).unplugged = true;
    }

    int OpenCount() {
        const std::lock_guard lock(m_mutex);
        return static_cast<int>(m_byFd.size());
    }

    int ListDirectory(const std::string& directory, std::vector<std::string>& names) override {
        const std::lock_guard lock(m_mutex);
        if (directory != m_directory || m_listError != 0) {
            return m_listError != 0 ? -m_listError : -ENOENT;
        }
        names = m_names;
        return 0;
    }

    int Open(const std::string& path) override {
        const std::lock_guard lock(m_mutex);
        for (auto& [minor, node] : m_nodes) {
            if (node.path != path) {
                continue;
            }
            if (node.openError != 0) {
                return -node.openError;
            }
            if (node.unplugged) {
                return -ENODEV;
            }
            if (node.fd >= 0) {
                return -EBUSY;
            }
            node.fd = m_nextFd++;
            m_byFd[node.fd] = &node;
            return node.fd;
        }
        return -ENOENT;
    }

    void Close(int fd) override {
        const std::lock_guard lock(m_mutex);
        const auto it = m_byFd.find(fd);
        if (it == m_byFd.end()) {
            ++m_badCloses;
            return;
        }
        it->second->fd = -1;
        m_byFd.erase(it);
    }

    int GetInfo(int fd, IowarriorInfo& info) override {
        const std::lock_guard lock(m_mutex);
        Node* node = Find(fd);
        if (node == nullptr) {
            return -EBADF;
        }
        if (node->infoError != 0) {
            return -node->infoError;
        }
        info = node->info;
        return 0;
    }

    long Write(int fd, const std::uint8_t* data, std::size_t length) override {
        const std::lock_guard lock(m_mutex);
        Node* node = Find(fd);
        if (node == nullptr) {
            return -EBADF;
        }
        if (node->unplugged) {
            return -ENODEV;
        }
        if (length != node->info.report_size) {
            return -EINVAL;
        }
        if (node->writesInFlightFull > 0) {
            --node->writesInFlightFull;
            return -EAGAIN;
        }
        node->written.emplace_back(data, data + length);
        if (node->info.if_num == 0) {
            node->pinsBefore = node->pins;
            node->pins.assign(data, data + length);
        } else if (data[0] == 0xFF && node->answersReadPins) {
            AnswerReadPins(*node);
        }
        return static_cast<long>(length);
    }

    long Read(int fd, std::uint8_t* data, std::size_t length) override {
        const std::lock_guard lock(m_mutex);
        Node* node = Find(fd);
        if (node == nullptr) {
            return -EBADF;
        }
        if (node->unplugged) {
            return -ENODEV;
        }
        if (length != node->info.report_size && length != node->info.report_size + 1) {
            return -EINVAL;
        }
        if (node->reports.empty() || node->reports.front().first > m_clock.NowMs()) {
            return -EAGAIN;
        }
        const Bytes report = node->reports.front().second;
        node->reports.pop_front();
        std::copy_n(report.begin(), std::min<std::size_t>(report.size(), node->info.report_size),
                    data);
        return static_cast<long>(node->info.report_size);
    }

    int Poll(int fd, short events, int timeoutMs) override {
        const std::lock_guard lock(m_mutex);
        Node* node = Find(fd);
        if (node == nullptr) {
            return POLLNVAL;
        }
        node->pollTimeouts.push_back(timeoutMs);
        if (node->unplugged) {
            return POLLERR | POLLHUP;
        }
        if ((events & POLLOUT) != 0) {
            return POLLOUT;
        }
        const std::uint32_t now = m_clock.NowMs();
        if (!node->reports.empty() &&
            node->reports.front().first <= now + static_cast<std::uint32_t>(timeoutMs)) {
            m_clock.Set(std::max(now, node->reports.front().first));
            return POLLIN;
        }
        m_clock.Advance(static_cast<std::uint32_t>(timeoutMs));
        return 0;
    }

    int BadCloses() const { return m_badCloses; }

    // A read-pins request as the backend writes it to interface 1.
    static Bytes ReadPinsRequest() {
        Bytes request(64, 0);
        request[0] = 0xFF;
        return request;
    }

private:
    void AnswerReadPins(Node& special) {
        Bytes pins(7, 0xFF);
        for (const auto& [minor, node] : m_nodes) {
            if (node.info.if_num == 0 &&
                std::memcmp(node.info.serial, special.info.serial, sizeof node.info.serial) == 0) {
                pins = special.staleReadBacks > 0 ? node.pinsBefore : node.pins;
            }
        }
        if (special.staleReadBacks > 0) {
            --special.staleReadBacks;
        }
        Bytes reply(64, 0);
        reply[0] = 0xFF;
        std::copy(pins.begin(), pins.end(), reply.begin() + 1);
        special.reports.emplace_back(m_clock.NowMs(), std::move(reply));
    }

    Node* Find(int fd) {
        const auto it = m_byFd.find(fd);
        return it != m_byFd.end() ? it->second : nullptr;
    }

    VirtualClock& m_clock;
    const std::string m_directory;
    std::mutex m_mutex;
    std::map<unsigned, Node> m_nodes;
    std::vector<std::string> m_names;
    std::map<int, Node*> m_byFd;
    int m_nextFd = 3;
    int m_listError = 0;
    int m_badCloses = 0;
};

}  // namespace zentrix::testing

#endif
