#include "platform/KernelIoWarriorLibrary.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/IoWarriorBackendRegistry.h"
#include "platform/Log.h"

namespace zentrix {

struct KernelIoWarriorLibrary::Controller {
    std::uintptr_t handle = 0;
    std::string serial;
    std::uint32_t productId = 0;
    std::string pinsPath;
    std::string specialPath;

    // Serialises the transfers of this controller; guards every field below.
    std::mutex mutex;
    int pinsFd = -1;
    int specialFd = -1;
    std::uint32_t readTimeoutMs = kDefaultTimeoutMs;
    std::uint32_t writeTimeoutMs = kDefaultTimeoutMs;
    // Unplugged or closed: every transfer fails without touching the nodes.
    bool gone = false;
    // The pin levels of the last pin report written (P0..P6), all high before the first.
    std::array<std::uint8_t, 7> pins{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
};

namespace {

constexpr std::string_view kArea = "kernel";
constexpr short kHangUpEvents = POLLERR | POLLHUP | POLLNVAL;

struct FoundNode {
    unsigned minor = 0;
    std::string path;
    int fd = -1;
    IowarriorInfo info;
    bool identified = false;
    // Why the node serves no controller; empty while it may.
    std::string problem;
    int openError = 0;
};

// The minor number of a driver node name such as "iowarrior12"; false for any other name.
bool ParseMinor(std::string_view name, unsigned& minor) {
    if (!name.starts_with(kIowarriorNodePrefix)) {
        return false;
    }
    const std::string_view digits = name.substr(kIowarriorNodePrefix.size());
    if (digits.empty() || digits.size() > 9) {
        return false;
    }
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), minor);
    return error == std::errc() && end == digits.data() + digits.size();
}

std::string ErrorText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// Why a node could not be opened, with what to do about it.
std::string OpenFailureText(int error) {
    switch (error) {
        case EBUSY:
            return "busy: another program holds it open";
        case EACCES:
        case EPERM:
            return "permission denied: install the udev rule for IO-Warrior nodes and plug the "
                   "box in again";
        case ENODEV:
        case ENXIO:
        case ENOENT:
            return "gone: the box was unplugged";
        default:
            return ErrorText(error);
    }
}

std::string SerialOf(const IowarriorInfo& info) {
    std::string serial;
    for (const std::uint8_t c : info.serial) {
        if (c == 0) {
            break;
        }
        serial.push_back(static_cast<char>(c));
    }
    return serial;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, 16);
    return "0x" + std::string(text, error == std::errc() ? end : text);
}

std::string Describe(const FoundNode& node) {
    return node.path + " (serial " + SerialOf(node.info) + ", product " + Hex(node.info.product) +
           ", interface " + std::to_string(node.info.if_num) + ", report size " +
           std::to_string(node.info.report_size) + ")";
}

void CloseLeftovers(DeviceNodes& nodes, std::vector<FoundNode>& found) noexcept {
    for (FoundNode& node : found) {
        if (node.fd >= 0) {
            nodes.Close(node.fd);
            node.fd = -1;
        }
    }
}

// The driver keeps each node's queue of incoming reports across close and open: reports that an
// earlier user (a process killed mid-exchange, say) left unread would answer this user's first
// requests and shift every reply after them. Reads without blocking until the queue is empty, at
// most four times the driver's 16 waiting reports, in case a node never runs dry; returns the
// count discarded.
std::size_t EmptyQueue(DeviceNodes& nodes, int fd, std::uint32_t reportSize) {
    constexpr std::size_t kMostDiscarded = 64;
    constexpr std::uint32_t kLargestReport = 4096;
    std::vector<std::uint8_t> report(std::clamp<std::uint32_t>(reportSize, 1, kLargestReport));
    std::size_t discarded = 0;
    while (discarded < kMostDiscarded) {
        long got = 0;
        do {
            got = nodes.Read(fd, report.data(), report.size());
        } while (got == -EINTR);
        if (got <= 0) {
            break;
        }
        ++discarded;
    }
    return discarded;
}

void EmptyQueueOf(DeviceNodes& nodes, const FoundNode& node) {
    const std::size_t discarded = EmptyQueue(nodes, node.fd, node.info.report_size);
    if (LogEnabled(LogLevel::Debug)) {
        Log(LogLevel::Debug, kArea,
            node.path + ": discarded " + std::to_string(discarded) +
                " report(s) left waiting from before it was opened");
    }
}

int ClampTimeout(std::uint32_t milliseconds) {
    return static_cast<int>(std::min<std::uint32_t>(milliseconds, INT_MAX));
}

// Closes both nodes of a controller and ends its transfers; the caller holds its mutex, or is the
// only one who knows it.
void CloseNodes(DeviceNodes& nodes, KernelIoWarriorLibrary::Controller& controller) noexcept {
    for (int* fd : {&controller.pinsFd, &controller.specialFd}) {
        if (*fd >= 0) {
            nodes.Close(*fd);
            *fd = -1;
        }
    }
    controller.gone = true;
}

}  // namespace

KernelIoWarriorLibrary::KernelIoWarriorLibrary(std::string directory, DeviceNodes& nodes,
                                               Clock& clock)
    : m_directory(std::move(directory)), m_nodes(nodes), m_clock(clock) {}

KernelIoWarriorLibrary::~KernelIoWarriorLibrary() {
    CloseAll();
}

IowHandle KernelIoWarriorLibrary::OpenDevice() {
    CloseAll();
    // Every descriptor stays in `found` until a controller takes it, so that a failure part-way
    // through leaves nothing open.
    std::vector<FoundNode> found;
    std::vector<std::shared_ptr<Controller>> controllers;
    try {
        std::vector<std::string> names;
        const int listed = m_nodes.ListDirectory(m_directory, names);
        if (listed < 0) {
            {
                const std::lock_guard lock(m_mutex);
                m_lastDiscovery = Discovery{false, ErrorText(-listed), {}};
            }
            Log(LogLevel::Info, kArea,
                "cannot list " + m_directory + ": " + ErrorText(-listed) +
                    "; is the iowarrior module loaded (modprobe iowarrior) and a box plugged in?");
            return nullptr;
        }
        for (const std::string& name : names) {
            unsigned minor = 0;
            if (ParseMinor(name, minor)) {
                found.push_back(FoundNode{minor, m_directory + "/" + name, -1, {}, false, {}, 0});
            }
        }
        std::sort(found.begin(), found.end(),
                  [](const FoundNode& a, const FoundNode& b) { return a.minor < b.minor; });
        if (found.empty()) {
            Log(LogLevel::Info, kArea, "no iowarrior nodes in " + m_directory);
        }

        std::vector<FoundNode*> opened;
        for (FoundNode& node : found) {
            const int fd = m_nodes.Open(node.path);
            if (fd < 0) {
                node.openError = -fd;
                node.problem = "cannot be opened: " + OpenFailureText(-fd);
                Log(LogLevel::Warning, kArea, node.path + " " + node.problem);
                continue;
            }
            node.fd = fd;
            const int queried = m_nodes.GetInfo(fd, node.info);
            if (queried < 0) {
                node.problem = "the driver's info query failed: " + ErrorText(-queried);
                Log(LogLevel::Warning, kArea, node.path + ": " + node.problem);
                m_nodes.Close(fd);
                node.fd = -1;
                continue;
            }
            node.identified = true;
            if (LogEnabled(LogLevel::Debug)) {
                Log(LogLevel::Debug, kArea, "found " + Describe(node));
            }
            opened.push_back(&node);
        }

        // Pairs each interface-0 node with the interface-1 node of the same serial number.
        struct Pair {
            FoundNode* pins = nullptr;
            FoundNode* special = nullptr;
        };
        std::map<std::string, Pair> pairs;
        for (FoundNode* const entry : opened) {
            FoundNode& node = *entry;
            if (node.info.if_num > 1) {
                node.problem = "not an interface in use";
                Log(LogLevel::Info, kArea, Describe(node) + " skipped: " + node.problem);
                m_nodes.Close(node.fd);
                node.fd = -1;
                continue;
            }
            Pair& pair = pairs[SerialOf(node.info)];
            FoundNode*& slot = node.info.if_num == 0 ? pair.pins : pair.special;
            if (slot != nullptr) {
                node.problem = slot->path + " has the same serial number and interface";
                Log(LogLevel::Warning, kArea, Describe(node) + " skipped: " + node.problem);
                m_nodes.Close(node.fd);
                node.fd = -1;
                continue;
            }
            slot = &node;
        }

        for (FoundNode* const entry : opened) {
            FoundNode& node = *entry;
            if (node.fd < 0) {
                continue;
            }
            const Pair& pair = pairs[SerialOf(node.info)];
            if (pair.pins == nullptr || pair.special == nullptr) {
                node.problem =
                    "the controller's other interface node is missing or could not be opened";
                Log(LogLevel::Warning, kArea, Describe(node) + " skipped: " + node.problem);
                m_nodes.Close(node.fd);
                node.fd = -1;
                continue;
            }
            if (&node != pair.pins) {
                continue;
            }
            if (pair.pins->info.product != pair.special->info.product) {
                pair.pins->problem = "its product id differs from " + pair.special->path + "'s";
                pair.special->problem = "its product id differs from " + pair.pins->path + "'s";
                Log(LogLevel::Warning, kArea,
                    Describe(*pair.pins) + " and " + Describe(*pair.special) +
                        " skipped: their product ids differ");
                continue;
            }
            EmptyQueueOf(m_nodes, *pair.pins);
            EmptyQueueOf(m_nodes, *pair.special);
            auto controller = std::make_shared<Controller>();
            controller->serial = SerialOf(node.info);
            controller->productId = node.info.product;
            controller->pinsPath = pair.pins->path;
            controller->specialPath = pair.special->path;
            controllers.push_back(controller);
            controller->pinsFd = std::exchange(pair.pins->fd, -1);
            controller->specialFd = std::exchange(pair.special->fd, -1);
            Log(LogLevel::Info, kArea,
                "controller " + controllers.back()->serial + " (product " + Hex(node.info.product) +
                    ") on " + pair.pins->path + " and " + pair.special->path);
        }
        // Pairs whose product ids differ are left out; their nodes are not held.
        CloseLeftovers(m_nodes, found);

        Discovery discovery{true, {}, {}};
        for (const FoundNode& node : found) {
            discovery.nodes.push_back(NodeReport{node.path, node.identified, SerialOf(node.info),
                                                 node.info.product, node.info.if_num, node.problem,
                                                 node.openError});
        }
        const std::lock_guard lock(m_mutex);
        m_lastDiscovery = std::move(discovery);
        for (auto& controller : controllers) {
            controller->handle = m_nextHandle++;
            m_byHandle.emplace(controller->handle, controller);
            m_controllers.push_back(controller);
        }
        if (m_controllers.empty()) {
            return nullptr;
        }
        return reinterpret_cast<IowHandle>(m_controllers.front()->handle);
    } catch (...) {
        Log(LogLevel::Error, kArea, "opening the controllers failed: out of memory");
        CloseAll();
        for (const auto& controller : controllers) {
            const std::lock_guard lock(controller->mutex);
            CloseNodes(m_nodes, *controller);
        }
        CloseLeftovers(m_nodes, found);
        return nullptr;
    }
}

KernelIoWarriorLibrary::Discovery KernelIoWarriorLibrary::GetLastDiscovery() const {
    const std::lock_guard lock(m_mutex);
    return m_lastDiscovery;
}

void KernelIoWarriorLibrary::CloseDevice(IowHandle /*handle*/) {
    CloseAll();
}

void KernelIoWarriorLibrary::CloseAll() noexcept {
    std::vector<std::shared_ptr<Controller>> controllers;
    {
        const std::lock_guard lock(m_mutex);
        controllers.swap(m_controllers);
        m_byHandle.clear();
    }
    for (const auto& controller : controllers) {
        const std::lock_guard lock(controller->mutex);
        CloseNodes(m_nodes, *controller);
    }
}

std::shared_ptr<KernelIoWarriorLibrary::Controller> KernelIoWarriorLibrary::Find(IowHandle handle) {
    const std::lock_guard lock(m_mutex);
    const auto it = m_byHandle.find(reinterpret_cast<std::uintptr_t>(handle));
    return it != m_byHandle.end() ? it->second : nullptr;
}

std::int32_t KernelIoWarriorLibrary::GetNumDevs() {
    const std::lock_guard lock(m_mutex);
    return static_cast<std::int32_t>(m_controllers.size());
}

IowHandle KernelIoWarriorLibrary::GetDeviceHandle(std::int32_t numDevice) {
    const std::lock_guard lock(m_mutex);
    if (numDevice < 1 || static_cast<std::size_t>(numDevice) > m_controllers.size()) {
        return nullptr;
    }
    return reinterpret_cast<IowHandle>(
        m_controllers[static_cast<std::size_t>(numDevice) - 1]->handle);
}

bool KernelIoWarriorLibrary::GetSerialNumber(IowHandle handle, char16_t* serialNumber) {
    if (serialNumber == nullptr) {
        return false;
    }
    serialNumber[0] = u'\0';
    try {
        const auto controller = Find(handle);
        if (!controller) {
            return false;
        }
        for (std::uint32_t i = 0; i < kIowSerialLength; ++i) {
            serialNumber[i] =
                i < controller->serial.size()
                    ? static_cast<char16_t>(static_cast<unsigned char>(controller->serial[i]))
                    : u'\0';
        }
        serialNumber[kIowSerialLength] = u'\0';
        return true;
    } catch (...) {
        return false;
    }
}

std::uint32_t KernelIoWarriorLibrary::GetProductId(IowHandle handle) {
    try {
        const auto controller = Find(handle);
        return controller ? controller->productId : 0;
    } catch (...) {
        return 0;
    }
}

namespace {

// Ends a controller's transfers after its box went away, with the reason in the log.
void MarkUnplugged(KernelIoWarriorLibrary::Controller& controller, DeviceNodes& nodes,
                   const std::string& path, std::string_view what) {
    Log(LogLevel::Warning, kArea,
        "controller " + controller.serial + " unplugged (" + path + ": " + std::string(what) +
            "); its transfers fail from now on");
    CloseNodes(nodes, controller);
}

bool MeansUnplugged(long result) {
    return result == -ENODEV || result == -ENXIO || result == -EPIPE || result == -ESHUTDOWN;
}

// poll() for up to timeoutMs on the given clock, carrying on after signals with the time left.
int PollFor(DeviceNodes& nodes, Clock& clock, int fd, short events, std::uint32_t timeoutMs) {
    const std::uint32_t start = clock.NowMs();
    for (;;) {
        const std::uint32_t elapsed = clock.NowMs() - start;
        const std::uint32_t remaining = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        const int ready = nodes.Poll(fd, events, ClampTimeout(remaining));
        if (ready != -EINTR) {
            return ready;
        }
    }
}

template <typename Call>
long RetryOnSignal(Call call) {
    long result = 0;
    do {
        result = call();
    } while (result == -EINTR);
    return result;
}

constexpr std::uint8_t kReadPinsReport = 0xFF;
constexpr std::size_t kSpecialReportBytes = 64;
constexpr int kMostReadBackRequests = 8;

// Whether a read-back of the pins shows a pin report as arrived: every pin it drives low reads
// low, and every pin it releases that the report before it drove low reads high again.
bool ShowsPinReport(const std::uint8_t* readBack, const std::array<std::uint8_t, 7>& before,
                    const std::uint8_t* pins) {
    for (std::size_t port = 0; port < before.size(); ++port) {
        const auto released = static_cast<std::uint8_t>(pins[port] & ~before[port]);
        if ((readBack[port] & ~pins[port]) != 0 || (readBack[port] & released) != released) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool KernelIoWarriorLibrary::BeginTransfer(IowHandle handle, std::uint32_t pipe, const void* buffer,
                                           std::uint32_t length, Transfer& transfer) {
    transfer.controller = Find(handle);
    if (!transfer.controller || buffer == nullptr || pipe > kIowPipeSpecialMode ||
        (pipe == kIowPipeIoPins && length < 1)) {
        return false;
    }
    Controller& controller = *transfer.controller;
    transfer.lock = std::unique_lock(controller.mutex);
    if (controller.gone) {
        return false;
    }
    transfer.pins = pipe == kIowPipeIoPins;
    transfer.fd = transfer.pins ? controller.pinsFd : controller.specialFd;
    transfer.path = transfer.pins ? &controller.pinsPath : &controller.specialPath;
    return true;
}

std::uint32_t KernelIoWarriorLibrary::Write(IowHandle handle, std::uint32_t pipe,
                                            const std::uint8_t* buffer, std::uint32_t length) {
    try {
        Transfer transfer;
        if (!BeginTransfer(handle, pipe, buffer, length, transfer)) {
            return 0;
        }
        Controller* const controller = transfer.controller.get();
        const bool pins = transfer.pins;
        const int fd = transfer.fd;
        const std::string& path = *transfer.path;
        // The driver's pin report has no report id: byte 0 of the library's report stays here.
        const std::uint8_t* data = pins ? buffer + 1 : buffer;
        const std::size_t count = pins ? length - 1 : length;

        auto write = [&] { return m_nodes.Write(fd, data, count); };
        long written = RetryOnSignal(write);
        if (written == -EAGAIN) {
            // Too many writes in flight: wait for room at most the write timeout, once.
            const int ready = PollFor(m_nodes, m_clock, fd, POLLOUT, controller->writeTimeoutMs);
            if (ready > 0 && (ready & kHangUpEvents) != 0) {
                MarkUnplugged(*controller, m_nodes, path, "hang-up while waiting to write");
                return 0;
            }
            if (ready > 0 && (ready & POLLOUT) != 0) {
                written = RetryOnSignal(write);
            }
        }
        if (written == static_cast<long>(count)) {
            if (pins) {
                ConfirmPinReport(*controller, data);
            }
            return length;
        }
        if (MeansUnplugged(written)) {
            MarkUnplugged(*controller, m_nodes, path, ErrorText(static_cast<int>(-written)));
        } else {
            Log(LogLevel::Warning, kArea,
                "write of " + std::to_string(count) + " bytes to " + path + " failed: " +
                    (written < 0 ? ErrorText(static_cast<int>(-written))
                                 : std::to_string(written) + " bytes written"));
        }
        return 0;
    } catch (...) {
        return 0;
    }
}

void KernelIoWarriorLibrary::ConfirmPinReport(Controller& controller, const std::uint8_t* pins) {
    const std::array<std::uint8_t, 7> before = controller.pins;
    std::copy(pins, pins + before.size(), controller.pins.begin());
    const std::uint32_t startMs = m_clock.NowMs();
    std::array<std::uint8_t, kSpecialReportBytes> request{};
    request[0] = kReadPinsReport;
    std::array<std::uint8_t, kSpecialReportBytes> reply{};
    for (int asked = 0; asked < kMostReadBackRequests; ++asked) {
        if (RetryOnSignal([&] {
                return m_nodes.Write(controller.specialFd, request.data(), request.size());
            }) != static_cast<long>(request.size())) {
            return;
        }
        for (;;) {
            const std::uint32_t spentMs = m_clock.NowMs() - startMs;
            if (spentMs >= controller.writeTimeoutMs) {
                Log(LogLevel::Debug, kArea,
                    "no read-back of the pins from " + controller.specialPath + " within " +
                        std::to_string(controller.writeTimeoutMs) + " ms of a pin report");
                return;
            }
            const int ready = PollFor(m_nodes, m_clock, controller.specialFd, POLLIN,
                                      controller.writeTimeoutMs - spentMs);
            if (ready < 0 || (ready > 0 && (ready & kHangUpEvents) != 0)) {
                // Gone or failing: the next transfer finds out and says so.
                return;
            }
            if ((ready & POLLIN) == 0) {
                continue;
            }
            if (RetryOnSignal([&] {
                    return m_nodes.Read(controller.specialFd, reply.data(), reply.size());
                }) != static_cast<long>(reply.size())) {
                return;
            }
            if (reply[0] != kReadPinsReport) {
                // A reply the plug-in gave up on, arriving late: the plug-in would drop it too.
                continue;
            }
            if (ShowsPinReport(reply.data() + 1, before, pins)) {
                return;
            }
            // Read before the pin report arrived: ask again.
            break;
        }
    }
}

std::uint32_t KernelIoWarriorLibrary::Read(IowHandle handle, std::uint32_t pipe,
                                           std::uint8_t* buffer, std::uint32_t length) {
    try {
        Transfer transfer;
        if (!BeginTransfer(handle, pipe, buffer, length, transfer)) {
            return 0;
        }
        Controller* const controller = transfer.controller.get();
        const bool pins = transfer.pins;
        const int fd = transfer.fd;
        const std::string& path = *transfer.path;
        // The driver's pin report comes without a report id; the library's has 0 in byte 0.
        std::uint8_t* data = pins ? buffer + 1 : buffer;
        const std::size_t count = pins ? length - 1 : length;

        const int ready = PollFor(m_nodes, m_clock, fd, POLLIN, controller->readTimeoutMs);
        if (ready < 0) {
            if (MeansUnplugged(ready)) {
                MarkUnplugged(*controller, m_nodes, path, ErrorText(-ready));
            } else {
                Log(LogLevel::Warning, kArea,
                    "waiting for " + path + " failed: " + ErrorText(-ready));
            }
            return 0;
        }
        if ((ready & kHangUpEvents) != 0) {
            MarkUnplugged(*controller, m_nodes, path, "hang-up");
            return 0;
        }
        if ((ready & POLLIN) == 0) {
            if (LogEnabled(LogLevel::Debug)) {
                Log(LogLevel::Debug, kArea,
                    "no report from " + path + " within " +
                        std::to_string(controller->readTimeoutMs) + " ms");
            }
            return 0;
        }
        const long got = RetryOnSignal([&] { return m_nodes.Read(fd, data, count); });
        if (got > 0) {
            if (pins) {
                buffer[0] = 0;
            }
            return static_cast<std::uint32_t>(got) + (pins ? 1 : 0);
        }
        if (MeansUnplugged(got)) {
            MarkUnplugged(*controller, m_nodes, path, ErrorText(static_cast<int>(-got)));
        } else if (got != -EAGAIN) {
            Log(LogLevel::Warning, kArea,
                "read of " + std::to_string(count) + " bytes from " + path +
                    " failed: " + (got < 0 ? ErrorText(static_cast<int>(-got)) : "end of file"));
        }
        return 0;
    } catch (...) {
        return 0;
    }
}

void KernelIoWarriorLibrary::SetWriteTimeout(IowHandle handle, std::uint32_t timeoutMs) {
    try {
        if (const auto controller = Find(handle)) {
            const std::lock_guard lock(controller->mutex);
            controller->writeTimeoutMs = timeoutMs;
        }
    } catch (...) {
        // A timeout that cannot be set leaves the previous one.
    }
}

void KernelIoWarriorLibrary::SetTimeout(IowHandle handle, std::uint32_t timeoutMs) {
    try {
        if (const auto controller = Find(handle)) {
            const std::lock_guard lock(controller->mutex);
            controller->readTimeoutMs = timeoutMs;
        }
    } catch (...) {
        // A timeout that cannot be set leaves the previous one.
    }
}

namespace {

std::unique_ptr<IoWarriorLibrary> CreateKernelLibrary(std::string_view argument, Clock& clock) {
    if (argument.empty()) {
        return std::make_unique<KernelIoWarriorLibrary>(kDefaultIowarriorDirectory,
                                                        LinuxDeviceNodes::Instance(), clock);
    }
    const std::string directory(argument);
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error)) {
        throw std::runtime_error(directory + " is not a directory");
    }
    return std::make_unique<KernelIoWarriorLibrary>(directory, LinuxDeviceNodes::Instance(), clock);
}

const IoWarriorBackendRegistrar kKernelBackend({
    "kernel",
    "kernel[:DIR]",
    "IO boxes through the Linux iowarrior driver's device nodes in /dev/usb, or in DIR",
    &CreateKernelLibrary,
});

}  // namespace

}  // namespace zentrix
