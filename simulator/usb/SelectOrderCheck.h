// The order rule a box behind two interfaces needs: an SPI frame goes out on interface 1 while the
// select lines it is meant for were written on interface 0, and a driver that only submits writes
// may deliver the frame first. Each frame must find the select lines its kind needs already set.
#ifndef ZENTRIX_SIMULATOR_USB_SELECTORDERCHECK_H
#define ZENTRIX_SIMULATOR_USB_SELECTORDERCHECK_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "simulator/BenchConfig.h"

namespace zentrix::usb {

class SelectOrderCheck {
public:
    explicit SelectOrderCheck(std::map<int, sim::SdiBoard> boards);

    // A pin report as the box took it: the seven port levels P0..P6.
    void PinReport(const std::uint8_t* ports);
    // A special-mode report; for an SPI transfer whose select lines are not set, the reason.
    // A four-byte frame needs the IO box's select alone, or no select and a lickometer whose
    // select has risen since its last read; a two-byte frame needs exactly one SDI select.
    std::optional<std::string> SpecialReport(const std::uint8_t* report);

private:
    std::map<int, sim::SdiBoard> m_boards;
    std::array<std::uint8_t, 7> m_ports{};
    bool m_lickometerLatched = false;
};

}  // namespace zentrix::usb

#endif
