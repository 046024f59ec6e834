#include "simulator/usb/UsbIoBox.h"

#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

namespace zentrix::usb {

namespace fs = std::filesystem;

namespace {

constexpr long kEventWaitNs = 20'000'000;
constexpr std::uint32_t kSpecialPipe = kIowPipeSpecialMode;
constexpr std::uint32_t kPinPipe = kIowPipeIoPins;

long IoSetup(unsigned count, aio_context_t* context) {
    return ::syscall(SYS_io_setup, count, context);
}
long IoDestroy(aio_context_t context) {
    return ::syscall(SYS_io_destroy, context);
}
long IoSubmit(aio_context_t context, long count, iocb** requests) {
    return ::syscall(SYS_io_submit, context, count, requests);
}
long IoGetEvents(aio_context_t context, long least, long most, io_event* events,
                 timespec* timeout) {
    return ::syscall(SYS_io_getevents, context, least, most, events, timeout);
}

}  // namespace

// The transfers the box keeps going: several reads on each OUT endpoint, so that every report the
// host sends is taken in the frame it goes out in, as the controller's firmware takes a report at
// once, and, while a reply waits for the host, a write on the special-mode IN endpoint. With a
// single read queued, a second report on one interface would wait for the bus's next frame while
// the other interface's went ahead of it.
struct UsbIoBox::Transfers {
    static constexpr std::size_t kReadsPerEndpoint = 4;
    static constexpr std::size_t kSpecialIn = 2 * kReadsPerEndpoint;
    static constexpr std::size_t kCount = kSpecialIn + 1;

    aio_context_t context = 0;
    std::array<iocb, kCount> requests{};
    std::array<bool, kCount> inFlight{};
    std::array<std::array<std::uint8_t, kSpecialReportBytes>, kCount> buffers{};

    static bool IsPinRead(std::size_t slot) { return slot < kReadsPerEndpoint; }

    Transfers() {
        if (IoSetup(kCount, &context) != 0) {
            throw std::runtime_error(std::string("io_setup: ") + std::strerror(errno));
        }
    }
    ~Transfers() { IoDestroy(context); }
    Transfers(const Transfers&) = delete;
    Transfers& operator=(const Transfers&) = delete;

    // False when the endpoint refused the transfer at once (not enabled, gone).
    bool Submit(std::size_t slot, int fd, bool write, std::uint32_t length) {
        iocb& request = requests[slot];
        request = iocb{};
        request.aio_data = slot;
        request.aio_lio_opcode = write ? IOCB_CMD_PWRITE : IOCB_CMD_PREAD;
        request.aio_fildes = static_cast<std::uint32_t>(fd);
        request.aio_buf = reinterpret_cast<std::uint64_t>(buffers[slot].data());
        request.aio_nbytes = length;
        iocb* list[] = {&request};
        inFlight[slot] = IoSubmit(context, 1, list) == 1;
        return inFlight[slot];
    }
};

UsbIoBox::UsbIoBox(UsbIoBoxOptions options, Clock& clock)
    : m_options(std::move(options)),
      m_clock(clock),
      m_startUs(clock.NowUs()),
      m_selects(m_options.box.sdiBoards) {
    if (m_options.readsPerEndpoint < 1 ||
        m_options.readsPerEndpoint > Transfers::kReadsPerEndpoint) {
        throw std::runtime_error("reads per endpoint must be 1 to 4");
    }
    fs::create_directories(m_options.stateDirectory);
    sim::BenchConfig bench;
    bench.eventLog = (m_options.stateDirectory / "events.log").string();
    bench.boxes.push_back(m_options.box);
    m_bench = std::make_unique<sim::SimulatedBench>(bench, m_clock);
    m_handle = m_bench->OpenDevice();
    m_bench->SetTimeout(m_handle, 0);
    const std::string record = (m_options.stateDirectory / "reports.log").string();
    m_record = std::fopen(record.c_str(), "w");
    if (m_record == nullptr) {
        throw std::runtime_error("cannot open " + record + ": " + std::strerror(errno));
    }
    m_options.gadget.serial = m_bench->Box(0).Serial();
    m_options.gadget.productId = static_cast<std::uint16_t>(m_bench->Box(0).ProductId());
    m_gadget = std::make_unique<FunctionFsGadget>(m_options.gadget,
                                                  m_options.stateDirectory / "functionfs");
}

UsbIoBox::~UsbIoBox() {
    m_gadget.reset();
    if (m_record != nullptr) {
        std::fclose(m_record);
    }
}

void UsbIoBox::Run(const std::atomic<bool>& stop, std::atomic<bool>& reportWanted) {
    Transfers transfers;
    m_gadget->Plug();
    WriteReport();
    const int pinsOut = m_gadget->EndpointFile(Endpoint::PinsOut);
    const int specialOut = m_gadget->EndpointFile(Endpoint::SpecialOut);
    const int specialIn = m_gadget->EndpointFile(Endpoint::SpecialIn);
    std::array<io_event, Transfers::kCount> events{};
    bool replyReady = false;
    while (!stop.load()) {
        if (reportWanted.exchange(false)) {
            WriteReport();
        }
        if (!m_faultUnplugged && m_bench->Box(0).IsUnplugged()) {
            m_faultUnplugged = true;
            m_gadget->Unplug();
        }
        if (m_gadget->IsEnabled()) {
            for (std::size_t slot = 0; slot < Transfers::kSpecialIn; ++slot) {
                if (!transfers.inFlight[slot] &&
                    slot % Transfers::kReadsPerEndpoint < m_options.readsPerEndpoint) {
                    const bool pins = Transfers::IsPinRead(slot);
                    transfers.Submit(slot, pins ? pinsOut : specialOut, false,
                                     pins ? kPinPacketBytes : kSpecialReportBytes);
                }
            }
            if (!transfers.inFlight[Transfers::kSpecialIn] &&
                (replyReady || NextReply(transfers.buffers[Transfers::kSpecialIn].data()))) {
                replyReady =
                    !transfers.Submit(Transfers::kSpecialIn, specialIn, true, kSpecialReportBytes);
            }
        }
        timespec wait{0, kEventWaitNs};
        const long got = IoGetEvents(transfers.context, 1, Transfers::kCount, events.data(), &wait);
        for (long i = 0; i < got; ++i) {
            const auto slot = static_cast<std::size_t>(events[i].data);
            transfers.inFlight[slot] = false;
            const auto* data = transfers.buffers[slot].data();
            const long result = static_cast<long>(events[i].res);
            if (slot == Transfers::kSpecialIn) {
                if (result == static_cast<long>(kSpecialReportBytes)) {
                    ++m_repliesSent;
                } else {
                    // Pulled out while the reply waited for the host: it is gone with the power.
                    ++m_repliesLost;
                }
            } else if (result > 0 && Transfers::IsPinRead(slot)) {
                TakePinReport(data, static_cast<std::size_t>(result));
            } else if (result > 0) {
                TakeSpecialReport(data, static_cast<std::size_t>(result));
            }
        }
        if (!m_gadget->IsEnabled()) {
            replyReady = false;
        }
    }
    m_gadget->Unplug();
    for (long left = 0; std::any_of(transfers.inFlight.begin(), transfers.inFlight.end(),
                                    [](bool busy) { return busy; }) &&
                        left < 50;
         ++left) {
        timespec wait{0, kEventWaitNs};
        const long got = IoGetEvents(transfers.context, 1, Transfers::kCount, events.data(), &wait);
        for (long i = 0; i < got; ++i) {
            transfers.inFlight[events[i].data] = false;
        }
    }
    WriteReport();
}

void UsbIoBox::TakePinReport(const std::uint8_t* data, std::size_t length) {
    Record("pins", data, length);
    if (length != kPinReportBytes) {
        ProtocolError("pin report of " + std::to_string(length) + " bytes (7 expected)");
        return;
    }
    ++m_pinReports;
    std::array<std::uint8_t, kIow56PinReportSize> report{};
    std::copy(data, data + length, report.begin() + 1);
    m_selects.PinReport(data);
    m_bench->Write(m_handle, kPinPipe, report.data(), static_cast<std::uint32_t>(report.size()));
}

void UsbIoBox::TakeSpecialReport(const std::uint8_t* data, std::size_t length) {
    Record("special", data, length);
    if (length != kSpecialReportBytes) {
        ProtocolError("special-mode report of " + std::to_string(length) + " bytes (64 expected)");
        return;
    }
    ++m_specialReports;
    if (auto misordered = m_selects.SpecialReport(data)) {
        ProtocolError(std::move(*misordered));
    }
    std::array<std::uint8_t, kSpecialReportBytes> report{};
    std::copy(data, data + length, report.begin());
    m_bench->Write(m_handle, kSpecialPipe, report.data(), kSpecialReportBytes);
}

bool UsbIoBox::NextReply(std::uint8_t* reply) {
    if (m_bench->Box(0).PendingReplies() == 0) {
        return false;
    }
    try {
        return m_bench->Read(m_handle, kSpecialPipe, reply, kSpecialReportBytes) ==
               kSpecialReportBytes;
    } catch (const std::exception&) {
        // A read fault of the bench breaks the library call, not the box: the reply stays queued.
        return false;
    }
}

void UsbIoBox::Record(const char* interface, const std::uint8_t* data, std::size_t length) {
    std::fprintf(m_record, "%llu %s", static_cast<unsigned long long>(m_clock.NowUs() - m_startUs),
                 interface);
    // An SPI transfer's data beyond its count is padding.
    std::size_t shown = length;
    if (length == kSpecialReportBytes && data[0] == sim::wiring::kSpiTransferReport) {
        shown = std::min<std::size_t>(length, sim::wiring::kSpiDataOffset + data[1]);
    } else if (length == kSpecialReportBytes) {
        shown = 4;
    }
    for (std::size_t i = 0; i < shown; ++i) {
        std::fprintf(m_record, " %02x", data[i]);
    }
    std::fputc('\n', m_record);
}

void UsbIoBox::ProtocolError(std::string text) {
    m_usbErrors.push_back(
        sim::ProtocolError{m_bench->NowMs(), m_bench->Box(0).BoxId(), std::move(text)});
}

void UsbIoBox::WriteReport() {
    std::fflush(m_record);
    sim::SimulatedIoBox& box = m_bench->Box(0);
    nlohmann::ordered_json report;
    report["box_id"] = box.BoxId();
    report["serial"] = box.Serial();
    report["sequence"] = ++m_reportsWritten;
    report["t_ms"] = m_bench->NowMs();
    report["plugged"] = m_gadget->IsPlugged();
    report["connections"] = m_gadget->Connections();
    report["acknowledged_requests"] = m_gadget->AcknowledgedRequests();
    report["pin_reports"] = m_pinReports;
    report["special_reports"] = m_specialReports;
    report["replies_sent"] = m_repliesSent;
    report["replies_lost"] = m_repliesLost;
    report["strobe_pulses"] = box.StrobePulses();
    nlohmann::ordered_json inputs = nlohmann::ordered_json::array();
    for (int port = 1; port <= sim::kTtlPortCount; ++port) {
        for (int line = 1; line <= sim::kTtlLineCount; ++line) {
            const auto made = box.InputEdges(port, line);
            const auto sampled = box.SampledEdges(port, line);
            inputs.push_back({{"port", port},
                              {"line", line},
                              {"falls", made.falls},
                              {"rises", made.rises},
                              {"sampled_falls", sampled.falls},
                              {"sampled_rises", sampled.rises}});
        }
    }
    report["inputs"] = inputs;
    nlohmann::ordered_json licks = nlohmann::ordered_json::array();
    for (const auto& [sdi, board] : m_options.box.sdiBoards) {
        if (board == sim::SdiBoard::Lickometer) {
            const auto reported = box.ReportedLicks(sdi);
            licks.push_back(
                {{"sdi", sdi}, {"licks", reported.licks}, {"lick_time_ms", reported.lickTimeMs}});
        }
    }
    report["licks"] = licks;
    nlohmann::ordered_json pellets = nlohmann::ordered_json::array();
    for (const auto& [port, device] : m_options.box.ttlDevices) {
        if (device == sim::TtlDevice::PelletDispenser) {
            pellets.push_back({{"port", port}, {"dropped", box.PelletsDropped(port)}});
        }
    }
    report["pellets"] = pellets;
    nlohmann::ordered_json errors = nlohmann::ordered_json::array();
    for (const auto& error : box.ProtocolErrors()) {
        errors.push_back({{"t_ms", error.timeMs}, {"text", error.text}});
    }
    for (const auto& error : m_usbErrors) {
        errors.push_back({{"t_ms", error.timeMs}, {"text", error.text}});
    }
    report["protocol_errors"] = errors;
    const fs::path target = m_options.stateDirectory / "report.json";
    const fs::path partial = m_options.stateDirectory / "report.json.partial";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << report.dump(2) << '\n';
    }
    std::error_code ignored;
    fs::rename(partial, target, ignored);
}

}  // namespace zentrix::usb
