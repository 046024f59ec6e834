// The two ways a hardware setup can reach a simulated bench in end-to-end tests: through the
// bench's own library, or through the kernel-driver backend over device nodes that forward to it.
#ifndef ZENTRIX_TESTS_SUPPORT_BENCHTRANSPORT_H
#define ZENTRIX_TESTS_SUPPORT_BENCHTRANSPORT_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/KernelIoWarriorLibrary.h"
#include "simulator/SimulatedBench.h"
#include "support/SimulatorDeviceNodes.h"

namespace zentrix::testing {

enum class Transport { Simulator, KernelDriver };

inline std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::Simulator ? "Simulator" : "KernelDriver";
}

class BenchTransport {
public:
    BenchTransport(Transport transport, sim::SimulatedBench& bench, Clock& clock) : m_bench(bench) {
        if (transport == Transport::KernelDriver) {
            m_nodes = std::make_unique<SimulatorDeviceNodes>(bench, clock);
            m_kernel =
                std::make_unique<KernelIoWarriorLibrary>(m_nodes->Directory(), *m_nodes, clock);
        }
    }

    IoWarriorLibrary& Library() {
        return m_kernel ? static_cast<IoWarriorLibrary&>(*m_kernel) : m_bench;
    }
    // The forwarding nodes; null on the simulator's own library.
    SimulatorDeviceNodes* Nodes() { return m_nodes.get(); }

private:
    sim::SimulatedBench& m_bench;
    std::unique_ptr<SimulatorDeviceNodes> m_nodes;
    std::unique_ptr<KernelIoWarriorLibrary> m_kernel;
};

}  // namespace zentrix::testing

#endif
