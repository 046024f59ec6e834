#include "simulator/usb/SelectOrderCheck.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "simulator/BoxWiring.h"

namespace zentrix::usb {

using namespace sim::wiring;

namespace {

bool SdiSelectLow(const std::array<std::uint8_t, 7>& ports, int sdi) {
    return sdi <= 8 ? ((ports[kLowSelectPort] >> (sdi - 1)) & 1U) == 0
                    : ((ports[kHighSelectPort] >> (sdi - 9)) & 1U) == 0;
}

std::vector<int> LowSdiSelects(const std::array<std::uint8_t, 7>& ports) {
    std::vector<int> low;
    for (int sdi = 1; sdi <= sim::kSdiPortCount; ++sdi) {
        if (SdiSelectLow(ports, sdi)) {
            low.push_back(sdi);
        }
    }
    return low;
}

}  // namespace

SelectOrderCheck::SelectOrderCheck(std::map<int, sim::SdiBoard> boards)
    : m_boards(std::move(boards)) {
    m_ports.fill(0xFF);
}

void SelectOrderCheck::PinReport(const std::uint8_t* ports) {
    const auto previous = m_ports;
    std::copy(ports, ports + m_ports.size(), m_ports.begin());
    for (const auto& [sdi, board] : m_boards) {
        if (board == sim::SdiBoard::Lickometer && SdiSelectLow(previous, sdi) &&
            !SdiSelectLow(m_ports, sdi)) {
            m_lickometerLatched = true;
        }
    }
}

std::optional<std::string> SelectOrderCheck::SpecialReport(const std::uint8_t* report) {
    if (report[0] != kSpiTransferReport) {
        return std::nullopt;
    }
    const unsigned count = report[1];
    const bool ioBox = (m_ports[kHighSelectPort] & kIoBoxSelectBit) == 0;
    const std::vector<int> sdis = LowSdiSelects(m_ports);
    if (ioBox && sdis.empty() && count == kIoBoxTransferBytes) {
        return std::nullopt;
    }
    if (!ioBox && sdis.size() == 1 && count == kSdiExpanderTransferBytes) {
        return std::nullopt;
    }
    if (!ioBox && sdis.empty() && count == kLickometerTransferBytes && m_lickometerLatched) {
        m_lickometerLatched = false;
        return std::nullopt;
    }
    std::string selects = ioBox ? "the IO box's select" : "";
    for (const int sdi : sdis) {
        selects += (selects.empty() ? "" : ", ") + std::string("SDI ") + std::to_string(sdi);
    }
    return "SPI frame of " + std::to_string(count) +
           " bytes arrived before the select lines it needs (low: " +
           (selects.empty() ? std::string("none") : selects) +
           "; port 3 = " + Hex(m_ports[kLowSelectPort]) +
           ", port 4 = " + Hex(m_ports[kHighSelectPort]) +
           (m_lickometerLatched ? "; a lickometer latched" : "; no lickometer latched") + ")";
}

}  // namespace zentrix::usb
