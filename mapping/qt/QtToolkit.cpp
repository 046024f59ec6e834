#include <QApplication>
#include <QThread>

#include "mapping/DialogToolkit.h"
#include "mapping/qt/QtMappingDialog.h"
#include "platform/Display.h"

namespace {

// The host's own application object when it has one; otherwise one of ours, created only when a
// display exists (a toolkit started without one aborts the process) and kept for later calls.
QApplication* EnsureApplication() {
    if (QCoreApplication* existing = QCoreApplication::instance()) {
        auto* application = qobject_cast<QApplication*>(existing);
        if (application == nullptr || application->thread() != QThread::currentThread()) {
            return nullptr;
        }
        return application;
    }
    if (!zentrix::DisplayAvailable()) {
        return nullptr;
    }
    static int argc = 1;
    static char name[] = "zentrix";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
}

int ShowMessage(const char* text) {
    try {
        if (EnsureApplication() == nullptr) {
            return kZentrixToolkitNoDisplay;
        }
        zentrix::qt::ShowMappingMessage(text != nullptr ? text : "");
        return kZentrixToolkitShown;
    } catch (...) {
        return kZentrixToolkitFailed;
    }
}

int RunDialog(zentrix::MappingDialogController* controller, int* accepted) {
    try {
        *accepted = 0;
        if (EnsureApplication() == nullptr) {
            return kZentrixToolkitNoDisplay;
        }
        *accepted = zentrix::qt::RunMappingDialog(*controller) == zentrix::DialogResult::Accepted;
        return kZentrixToolkitShown;
    } catch (...) {
        *accepted = 0;
        return kZentrixToolkitFailed;
    }
}

constexpr ZentrixMappingToolkit kToolkit{kZentrixMappingToolkitVersion, &ShowMessage, &RunDialog};

}  // namespace

extern "C" __attribute__((visibility("default"))) const ZentrixMappingToolkit*
zentrix_mapping_toolkit(std::uint32_t version) {
    return version == kZentrixMappingToolkitVersion ? &kToolkit : nullptr;
}
