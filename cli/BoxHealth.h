// Which IO boxes of the loaded setup are connected, at the start of a sampling session and while
// it runs, so that a missing or lost box is never mistaken for a quiet one.
#ifndef ZENTRIX_CLI_BOXHEALTH_H
#define ZENTRIX_CLI_BOXHEALTH_H

#include <cstdint>
#include <string>
#include <vector>

#include "Plugin.h"

namespace zentrix::cli {

class BoxHealth {
public:
    // Asks the component for its boxes and whether each is connected now.
    explicit BoxHealth(Component& component);

    const std::vector<IoBoxInfo>& Boxes() const { return m_boxes; }
    bool Connected(std::size_t index) const { return m_connected[index]; }

    // The boxes not connected when the session began.
    std::vector<IoBoxInfo> MissingAtStart() const;

    // Asks again and returns the boxes that were connected at the last look and are not now.
    std::vector<IoBoxInfo> NewlyLost();

    bool AnyLost() const { return m_anyLost; }

private:
    Component& m_component;
    std::vector<IoBoxInfo> m_boxes;
    std::vector<bool> m_connected;
    bool m_anyLost = false;
};

// "IO box 0 "Tamsel IO box"", the way every message names a box.
std::string BoxLabel(const IoBoxInfo& box);

// Prints one line on standard error for each box missing at the start; returns false when the
// session must not begin because of them (allowMissing false and at least one missing).
bool ReportMissingBoxes(const BoxHealth& health, bool allowMissing);

// The line on standard error for a box lost at elapsedMs into the session.
std::string BoxLostMessage(const IoBoxInfo& box, std::int64_t elapsedMs);

}  // namespace zentrix::cli

#endif
