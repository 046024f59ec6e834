// One simulated IO box served over USB: the reports the host's driver sends to the gadget's OUT
// endpoints go to the box model in the order they arrive, and the model's replies go back on the
// special-mode interface's IN endpoint, one at a time as the host collects them.
#ifndef ZENTRIX_SIMULATOR_USB_USBIOBOX_H
#define ZENTRIX_SIMULATOR_USB_USBIOBOX_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "simulator/BenchConfig.h"
#include "simulator/BoxWiring.h"
#include "simulator/SimulatedBench.h"
#include "simulator/usb/FunctionFsGadget.h"
#include "simulator/usb/SelectOrderCheck.h"

namespace zentrix::usb {

// What the box's state directory holds: `report.json` (the model's counts and every protocol
// error, rewritten on request and at the end), `reports.log` (every report taken, in arrival
// order: microseconds since the start, the interface, the bytes in hex) and `events.log` (the
// model's line changes).
struct UsbIoBoxOptions {
    sim::BoxConfig box;
    std::filesystem::path stateDirectory;
    GadgetIdentity gadget;
    // Reads kept queued on each OUT endpoint (1 to 4). With one, a second report on an interface
    // waits for the bus's next frame, as on a controller that takes a report per frame only.
    std::size_t readsPerEndpoint = 4;
};

class UsbIoBox {
public:
    // Throws GadgetError or std::runtime_error when the gadget or the state files cannot be made.
    UsbIoBox(UsbIoBoxOptions options, Clock& clock);
    ~UsbIoBox();
    UsbIoBox(const UsbIoBox&) = delete;
    UsbIoBox& operator=(const UsbIoBox&) = delete;

    // Plugs the box in and serves it until `stop` is set, writing the report whenever
    // `reportWanted` is set (which it then clears) and once more at the end.
    void Run(const std::atomic<bool>& stop, std::atomic<bool>& reportWanted);

private:
    struct Transfers;

    void TakePinReport(const std::uint8_t* data, std::size_t length);
    void TakeSpecialReport(const std::uint8_t* data, std::size_t length);
    void Record(const char* interface, const std::uint8_t* data, std::size_t length);
    void ProtocolError(std::string text);
    // Takes the model's next reply when the IN endpoint is free and there is one.
    bool NextReply(std::uint8_t* reply);
    void WriteReport();

    UsbIoBoxOptions m_options;
    Clock& m_clock;
    std::uint64_t m_startUs;
    std::unique_ptr<sim::SimulatedBench> m_bench;
    IowHandle m_handle = nullptr;
    SelectOrderCheck m_selects;
    std::unique_ptr<FunctionFsGadget> m_gadget;
    std::FILE* m_record = nullptr;

    std::uint64_t m_pinReports = 0;
    std::uint64_t m_specialReports = 0;
    std::uint64_t m_repliesSent = 0;
    std::uint64_t m_repliesLost = 0;
    std::uint64_t m_reportsWritten = 0;
    bool m_faultUnplugged = false;
    std::vector<sim::ProtocolError> m_usbErrors;
};

}  // namespace zentrix::usb

#endif
