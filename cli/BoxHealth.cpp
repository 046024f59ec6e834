#include "BoxHealth.h"

#include <cstdio>
#include <iostream>

#include "CliError.h"

namespace zentrix::cli {

namespace {

bool AskConnected(Component& component, std::int32_t boxId) {
    const HRESULT result = component.IsIoBoxConnected(boxId);
    ThrowIfFailed(result, "IsIODeviceConnected(" + std::to_string(boxId) + ")");
    return result == S_OK;
}

}  // namespace

BoxHealth::BoxHealth(Component& component) : m_component(component), m_boxes(component.IoBoxes()) {
    for (const IoBoxInfo& box : m_boxes) {
        m_connected.push_back(AskConnected(m_component, box.id));
    }
}

std::vector<IoBoxInfo> BoxHealth::MissingAtStart() const {
    std::vector<IoBoxInfo> missing;
    for (std::size_t i = 0; i < m_boxes.size(); ++i) {
        if (!m_connected[i]) {
            missing.push_back(m_boxes[i]);
        }
    }
    return missing;
}

std::vector<IoBoxInfo> BoxHealth::NewlyLost() {
    std::vector<IoBoxInfo> lost;
    for (std::size_t i = 0; i < m_boxes.size(); ++i) {
        if (m_connected[i] && !AskConnected(m_component, m_boxes[i].id)) {
            m_connected[i] = false;
            m_anyLost = true;
            lost.push_back(m_boxes[i]);
        }
    }
    return lost;
}

std::string BoxLabel(const IoBoxInfo& box) {
    return "IO box " + std::to_string(box.id) + " \"" + box.name + "\"";
}

bool ReportMissingBoxes(const BoxHealth& health, bool allowMissing) {
    const std::vector<IoBoxInfo> missing = health.MissingAtStart();
    if (health.Boxes().empty()) {
        std::cerr << "zentrix: " << (allowMissing ? "warning: " : "")
                  << "the setup has no IO box at all" << std::endl;
        return allowMissing;
    }
    for (const IoBoxInfo& box : missing) {
        std::cerr << "zentrix: " << (allowMissing ? "warning: " : "") << BoxLabel(box)
                  << " is not connected: its devices would show no data (see `zentrix check`)"
                  << std::endl;
    }
    if (!missing.empty() && !allowMissing) {
        std::cerr << "zentrix: nothing sampled; give --allow-missing-boxes to run without "
                  << (missing.size() == 1 ? "it" : "them") << std::endl;
        return false;
    }
    return true;
}

std::string BoxLostMessage(const IoBoxInfo& box, std::int64_t elapsedMs) {
    char when[32];
    std::snprintf(when, sizeof when, "%.3f s", static_cast<double>(elapsedMs) / 1000.0);
    return "zentrix: " + BoxLabel(box) + " lost at " + when +
           ": its signals hold their last levels from now on";
}

}  // namespace zentrix::cli
