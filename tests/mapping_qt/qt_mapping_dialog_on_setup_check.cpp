// The whole dialog on a simulated IO box: the links model and the dialog's logic in the Qt window,
// run modally by the hardware setup and driven with the keyboard from inside the modal loop.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "iobox/IOBox.h"
#include "iobox/Port.h"
#include "mapping/qt/QtMappingDialog.h"
#include "model/Catalog.h"
#include "model/Device.h"
#include "setup/HardwareSetup.h"
#include "simulator/SimulatedBench.h"

namespace {

using zentrix::qt::QtMappingDialog;
using zentrix::qt::QtMappingTable;

// Runs the dialog the way the toolkit library does, in this test's own application.
class InProcessRunner final : public zentrix::MappingDialogRunner, zentrix::MessageService {
public:
    zentrix::MessageService& GetMessageService() override { return *this; }
    zentrix::DialogResult Run(zentrix::MappingDialogController& controller) override {
        return zentrix::qt::RunMappingDialog(controller);
    }
    void ShowMessage(const std::string& text) override { zentrix::qt::ShowMappingMessage(text); }
};

// Calls the step once a modal widget of the type is up (a message box, or the dialog).
template <class Widget>
void WhenModal(std::function<void(Widget*)> step) {
    auto attempt = std::make_shared<std::function<void()>>();
    *attempt = [step, attempt] {
        if (auto* modal = dynamic_cast<Widget*>(QApplication::activeModalWidget())) {
            step(modal);
        } else {
            QTimer::singleShot(10, *attempt);
        }
    };
    QTimer::singleShot(0, *attempt);
}

struct Device {
    std::string name;
    std::int32_t type;
    std::int32_t port;
    std::int32_t position;
    bool operator==(const Device&) const = default;
};

void PrintTo(const Device& device, std::ostream* out) {
    *out << device.name << " type " << device.type << " port " << device.port << " position "
         << device.position;
}

class QtDialogOnSetupTest : public ::testing::Test {
protected:
    QtDialogOnSetupTest()
        : bench(Config(), clock), setup(std::make_unique<TCHiIobHardwareSetup>(bench, clock)) {
        setup->ChangeDevices([this] {
            ASSERT_TRUE(setup->AddDevice(
                0, 5,
                std::make_unique<TCHiIobDevice>(setup.get(), "Pellet dispenser",
                                                eDeviceTypePelletDispenser, -1, 3)));
        });
    }
    ~QtDialogOnSetupTest() override {
        for (const auto& error : bench.ProtocolErrors()) {
            ADD_FAILURE() << error.timeMs << " ms: " << error.text;
        }
    }

    static zentrix::sim::BenchConfig Config() {
        zentrix::sim::BenchConfig config;
        zentrix::sim::BoxConfig box;
        box.sdiBoards = {{1, zentrix::sim::SdiBoard::TopUnitInterface}};
        box.ttlDevices = {{5, zentrix::sim::TtlDevice::PelletDispenser}};
        config.boxes.push_back(box);
        return config;
    }

    std::vector<Device> Devices() const {
        std::vector<Device> list;
        const TCHiIobIOBox* box = setup->FindIOBox(0);
        for (const TCHiIobPort* port : box->GetPorts().GetPorts()) {
            std::vector<const TCHiIobDevice*> devices;
            box->GetDevicesOnPort(port->GetId(), devices);
            for (const TCHiIobDevice* device : devices) {
                list.push_back({device->GetDeviceName(), device->GetDeviceTypeId(), port->GetId(),
                                device->GetConnectorPortId()});
            }
        }
        return list;
    }

    std::vector<std::int32_t> DeviceIds() const {
        std::vector<const TCHiIobDevice*> devices;
        setup->GetDevices(devices);
        std::vector<std::int32_t> ids;
        for (const TCHiIobDevice* device : devices) {
            ids.push_back(device->GetDeviceId());
        }
        return ids;
    }

    zentrix::VirtualClock clock;
    zentrix::sim::SimulatedBench bench;
    std::unique_ptr<TCHiIobHardwareSetup> setup;
    InProcessRunner runner;
};

void Key(QWidget* target, Qt::Key key) {
    QTest::keyClick(target, key);
    QApplication::processEvents();
}

void Type(QWidget* target, const char* text) {
    QTest::keyClicks(target, text);
    QApplication::processEvents();
}

std::string CellText(QtMappingTable* table, int row, int column) {
    return table->GetCell(row, column).text;
}

TEST_F(QtDialogOnSetupTest, ATopUnitChosenWithTheKeyboardIsAppliedOnOk) {
    std::string refusal;
    std::vector<std::string> seen;
    WhenModal<QtMappingDialog>([&](QtMappingDialog* dialog) {
        QtMappingTable* table = dialog->Table();
        // From the first cell: Tab to "Device type", down to SDI Port 1 (row 13).
        Key(table, Qt::Key_Tab);
        for (int row = 1; row < 13; ++row) {
            Key(table, Qt::Key_Down);
        }
        seen.push_back(CellText(table, table->currentRow() + 1, 1));
        Key(table, Qt::Key_F2);
        Type(QApplication::focusWidget(), "Top Unit I");
        Key(QApplication::focusWidget(), Qt::Key_Return);
        seen.push_back(CellText(table, 14, 1));
        seen.push_back(CellText(table, 14, 3));
        seen.push_back(CellText(table, 13, 3));
        // A top unit on position 1 gets its default id.
        Key(table, Qt::Key_Down);
        Key(table, Qt::Key_F2);
        Type(QApplication::focusWidget(), "Top Unit (S");
        Key(QApplication::focusWidget(), Qt::Key_Return);
        seen.push_back(CellText(table, 14, 2));
        seen.push_back(CellText(table, 14, 3));
        // Tab to its id and type one that the dispenser already has: refused with the message.
        Key(table, Qt::Key_Tab);
        Type(table, "P");
        auto* edit = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        ASSERT_NE(edit, nullptr);
        Type(edit, "ellet dispenser");
        WhenModal<QMessageBox>([&](QMessageBox* box) {
            refusal = box->text().toStdString();
            box->button(QMessageBox::Ok)->click();
        });
        Key(edit, Qt::Key_Return);
        EXPECT_EQ(QApplication::focusWidget(), edit);
        edit->selectAll();
        Type(edit, "Left top");
        Key(edit, Qt::Key_Tab);
        seen.push_back(CellText(table, 14, 3));
        seen.push_back(std::to_string(table->currentRow() + 1) + "," +
                       std::to_string(table->currentColumn() + 1));
        QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
    });
    EXPECT_TRUE(setup->RunMappingDialog(runner, false));
    EXPECT_EQ(seen, (std::vector<std::string>{"SDI Port 1", "    Interface Port 1",
                                              "<Enter device ID>", "", "Top Unit (Standard)",
                                              "Top Unit (Standard) 1", "Left top", "15,2"}));
    EXPECT_EQ(refusal,
              "IO Box 0 Port \"TTL Port 5\" \"Pellet Dispenser (KX-502)\" has the same ID as\n"
              "Port \"SDI Port 1\" \"Top Unit (Standard)\".\nThis is not allowed.")
        << refusal;
    EXPECT_EQ(Devices(),
              (std::vector<Device>{{"Pellet dispenser", eDeviceTypePelletDispenser, 5, -1},
                                   {"Left top", eDeviceTypeTopUnitStandard, 13, 1}}));
    // The dispenser kept its id; the top unit got the next one.
    EXPECT_EQ(DeviceIds(), (std::vector<std::int32_t>{3, 4}));
}

TEST_F(QtDialogOnSetupTest, CancelAfterEditsChangesNothing) {
    WhenModal<QtMappingDialog>([&](QtMappingDialog* dialog) {
        QtMappingTable* table = dialog->Table();
        Key(table, Qt::Key_Tab);
        Key(table, Qt::Key_F2);
        Type(QApplication::focusWidget(), "Pellet");
        Key(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_EQ(CellText(table, 1, 3), "Pellet Dispenser (KX-502) 1");
        QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
    });
    EXPECT_FALSE(setup->RunMappingDialog(runner, false));
    EXPECT_EQ(Devices(),
              (std::vector<Device>{{"Pellet dispenser", eDeviceTypePelletDispenser, 5, -1}}));
    EXPECT_EQ(DeviceIds(), (std::vector<std::int32_t>{3}));
}

TEST_F(QtDialogOnSetupTest, ReadOnlyShowsTheMappingAndChangesNothing) {
    bool okEnabled = true;
    bool editorOpened = true;
    std::string dispenser;
    WhenModal<QtMappingDialog>([&](QtMappingDialog* dialog) {
        QtMappingTable* table = dialog->Table();
        okEnabled = dialog->OkButton()->isEnabled();
        dispenser = CellText(table, 5, 2) + " / " + CellText(table, 5, 3);
        table->SetCurrentCell(5, 3);
        Type(table, "x");
        Key(table, Qt::Key_F2);
        editorOpened = QApplication::focusWidget() != table;
        Key(table, Qt::Key_Escape);
    });
    EXPECT_FALSE(setup->RunMappingDialog(runner, true));
    EXPECT_FALSE(okEnabled);
    EXPECT_FALSE(editorOpened);
    EXPECT_EQ(dispenser, "Pellet Dispenser (KX-502) / Pellet dispenser");
    EXPECT_EQ(DeviceIds(), (std::vector<std::int32_t>{3}));
}

}  // namespace
