// zentrix-usb-box: one simulated IO box as a USB IO-Warrior 56 on an emulated bus, for running the
// kernel backend against the Linux driver without hardware.
//
//   zentrix-usb-box --udc dummy_udc.0 --state DIR [--bench FILE] [--box N] [--name NAME]
//                   [--reads-per-endpoint 1..4]
//
// Takes controller N (default 0) of the bench file, or the demo bench's box with id N, makes the
// gadget NAME (default zentrix-box-N) in configfs and plugs it into the device controller. SIGUSR1
// rewrites DIR/report.json; SIGTERM or SIGINT unplug the box, write the report and end.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "platform/Clock.h"
#include "simulator/BenchConfig.h"
#include "simulator/usb/UsbIoBox.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_reportWanted{false};

void OnStop(int /*signal*/) {
    g_stop.store(true);
}

void OnReport(int /*signal*/) {
    g_reportWanted.store(true);
}

zentrix::sim::BoxConfig ChooseBox(const std::string& benchFile, std::size_t index) {
    if (benchFile.empty()) {
        zentrix::sim::BoxConfig box = zentrix::sim::DemoBench().boxes.front();
        box.boxId = static_cast<int>(index);
        box.serial = zentrix::sim::DefaultSerial(index);
        return box;
    }
    const zentrix::sim::BenchConfig bench = zentrix::sim::LoadBenchConfig(benchFile);
    if (index >= bench.boxes.size()) {
        throw std::runtime_error(benchFile + " has " + std::to_string(bench.boxes.size()) +
                                 " controller(s), none with index " + std::to_string(index));
    }
    zentrix::sim::BoxConfig box = bench.boxes[index];
    if (box.serial.empty()) {
        box.serial = zentrix::sim::DefaultSerial(index);
    }
    return box;
}

int Serve(int argc, char** argv) {
    CLI::App app{"One simulated IO box as a USB IO-Warrior 56 through FunctionFS"};
    std::string udc;
    std::string state;
    std::string bench;
    std::string name;
    std::size_t index = 0;
    std::size_t reads = 4;
    app.add_option("--udc", udc, "device controller to plug into, such as dummy_udc.0")->required();
    app.add_option("--state", state, "directory for report.json, reports.log and events.log")
        ->required();
    app.add_option("--bench", bench, "bench file whose controller --box this box is")
        ->check(CLI::ExistingFile);
    app.add_option("--box", index, "controller index in the bench file");
    app.add_option("--name", name, "gadget name in configfs (default zentrix-box-INDEX)");
    app.add_option("--reads-per-endpoint", reads,
                   "reads kept queued on each OUT endpoint (default 4; 1 takes a report per frame)")
        ->check(CLI::Range(1, 4));
    CLI11_PARSE(app, argc, argv);

    struct sigaction action {};
    action.sa_handler = OnStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = OnReport;
    sigaction(SIGUSR1, &action, nullptr);
    try {
        zentrix::usb::UsbIoBoxOptions options;
        options.box = ChooseBox(bench, index);
        options.stateDirectory = state;
        options.gadget.name = name.empty() ? "zentrix-box-" + std::to_string(index) : name;
        options.gadget.udc = udc;
        options.readsPerEndpoint = reads;
        zentrix::usb::UsbIoBox box(options, zentrix::SystemClock::Instance());
        box.Run(g_stop, g_reportWanted);
    } catch (const std::exception& error) {
        std::cerr << "zentrix-usb-box: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Serve(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "zentrix-usb-box: " << error.what() << std::endl;
    } catch (...) {
        std::cerr << "zentrix-usb-box: unknown failure" << std::endl;
    }
    return 1;
}
