// The links model: rows built from the setup, their texts and choices, connector rows, default
// ids, validation messages, and applying an edited model back to the setup.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "iobox/IOBox.h"
#include "iobox/Port.h"
#include "mapping/Links.h"
#include "mapping/MappingSetups.h"
#include "model/Catalog.h"
#include "model/DeviceType.h"

namespace {

using zentrix::testing::Devices;
using zentrix::testing::DeviceSummary;
using zentrix::testing::MappingSetup;

constexpr std::int32_t kSdi1 = 13;
constexpr std::int32_t kSdi2 = 14;
constexpr std::int32_t kTtl1 = 1;

const std::string kNoDevice = "<No device connected>";

// The rows of a box, mutable when the model is.
template <typename Model>
auto Rows(Model& model, std::int32_t box) {
    auto* entry = model.FindIOBoxLinks(box);
    std::vector<decltype(TCHiIobPortMappings::GetRow(entry, 1))> rows;
    for (int r = 1; r <= TCHiIobPortMappings::GetRowCount(entry); ++r) {
        rows.push_back(TCHiIobPortMappings::GetRow(entry, r));
    }
    return rows;
}

// The row of a port that holds no connector, or a position row behind one.
template <typename Model>
auto RowOf(Model& model, std::int32_t box, std::int32_t port, std::int32_t position = -1) {
    for (auto* row : Rows(model, box)) {
        if (row->m_pPort->GetId() != port) {
            continue;
        }
        const std::int32_t rowPosition =
            row->m_pConnectorData ? row->m_pConnectorData->GetPosition() : -1;
        if (rowPosition == position) {
            return row;
        }
    }
    return typename decltype(Rows(model, box))::value_type{nullptr};
}

TEST(LinksModel, AnEmptyBoxGivesOneEmptyRowPerPortInPortOrder) {
    MappingSetup s;
    const TCHiIobPortMappings model(*s.setup);
    const auto rows = Rows(model, -1);
    ASSERT_EQ(rows.size(), 25u);
    EXPECT_EQ(rows[0]->m_pPort->GetName(), "TTL Port 1");
    EXPECT_EQ(rows[12]->m_pPort->GetName(), "SDI Port 1");
    for (const TCHiIobPortLink* row : rows) {
        EXPECT_EQ(model.Describe(*row), kNoDevice);
        EXPECT_EQ(row->m_iDeviceId, -1);
        EXPECT_TRUE(row->m_strDeviceId.empty());
    }
    EXPECT_EQ(TCHiIobPortMappings::GetRowCount(nullptr), -1);
    const TCHiIobIOBoxLinks* noEntry = nullptr;
    EXPECT_EQ(TCHiIobPortMappings::GetRow(noEntry, 1), nullptr);
    EXPECT_EQ(TCHiIobPortMappings::GetRow(model.FindIOBoxLinks(-1), 26), nullptr);
    EXPECT_EQ(model.FindIOBoxLinks(0), nullptr);
}

TEST(LinksModel, AConnectorGivesItsRowAndOneRowPerPosition) {
    MappingSetup s;
    s.Add(-1, kSdi1, eDeviceTypeTopUnitCorvane, 7, "right", 3);
    s.Add(-1, kSdi1, eDeviceTypeTopUnitStandard, 4, "left", 1);
    const TCHiIobPortMappings model(*s.setup);
    const auto rows = Rows(model, -1);
    ASSERT_EQ(rows.size(), 29u);
    const TCHiIobPortLink& connector = *rows[12];
    ASSERT_NE(connector.m_pConnectorType, nullptr);
    EXPECT_EQ(connector.m_pConnectorData, nullptr);
    EXPECT_EQ(model.Describe(connector), "Top Unit Interface (KX-501)");
    EXPECT_EQ(connector.m_iDeviceId, -1);
    const std::vector<std::string> names{"left", "", "right", ""};
    const std::vector<std::int32_t> ids{4, -1, 7, -1};
    const std::vector<std::string> types{"Top Unit (Standard)", kNoDevice, "Top Unit (Corvane)",
                                         kNoDevice};
    for (std::size_t p = 0; p < 4; ++p) {
        const TCHiIobPortLink& row = *rows[13 + p];
        ASSERT_NE(row.m_pConnectorData, nullptr);
        EXPECT_EQ(*row.m_pConnectorData,
                  TCHiIobConnectorData(eConnectorTypeTopUnitInterface, static_cast<int>(p) + 1));
        EXPECT_EQ(row.m_pPort->GetId(), kSdi1);
        EXPECT_EQ(row.m_pConnectorType, nullptr);
        EXPECT_EQ(row.m_strDeviceId, names[p]);
        EXPECT_EQ(row.m_iDeviceId, ids[p]);
        EXPECT_EQ(model.Describe(row), types[p]);
    }
    EXPECT_EQ(rows[17]->m_pPort->GetName(), "SDI Port 2");
}

TEST(LinksModel, ADirectDeviceRowCarriesItsNameAndId) {
    MappingSetup s;
    s.Add(-1, kSdi2, eDeviceTypeLickometer, 3, "licks");
    const TCHiIobPortMappings model(*s.setup);
    const TCHiIobPortLink* row = RowOf(model, -1, kSdi2);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->m_strDeviceId, "licks");
    EXPECT_EQ(row->m_iDeviceId, 3);
    EXPECT_EQ(model.Describe(*row), "Lickometer (KX-503)");
    EXPECT_EQ(Rows(model, -1).size(), 25u);
}

TEST(LinksModel, ChoiceListsFollowThePortKindAndTheConnector) {
    MappingSetup s;
    s.Add(-1, kSdi1, eDeviceTypeTopUnitStandard, 1, "top", 2);
    const TCHiIobPortMappings model(*s.setup);
    std::string text;
    std::string choices;
    model.GetCellTexts(*RowOf(model, -1, kTtl1), text, choices);
    EXPECT_EQ(text, kNoDevice);
    EXPECT_EQ(choices,
              "Pellet Dispenser (KX-502)\nTTL Port Tester (KX-504)\nCustom Hardware\n" + kNoDevice);
    model.GetCellTexts(*RowOf(model, -1, kSdi2), text, choices);
    EXPECT_EQ(choices, "Lickometer (KX-503)\nTop Unit Interface (KX-501)\n" + kNoDevice);
    model.GetCellTexts(*RowOf(model, -1, kSdi1), text, choices);
    EXPECT_EQ(text, "Top Unit Interface (KX-501)");
    EXPECT_EQ(choices, "Lickometer (KX-503)\nTop Unit Interface (KX-501)\n" + kNoDevice);
    model.GetCellTexts(*RowOf(model, -1, kSdi1, 2), text, choices);
    EXPECT_EQ(text, "Top Unit (Standard)");
    EXPECT_EQ(choices, "Top Unit (Standard)\nTop Unit (Corvane)\n" + kNoDevice);
}

TEST(LinksModel, PositionRowsAreRemovedAndInsertedBehindTheirConnectorRow) {
    MappingSetup s;
    s.Add(-1, kSdi1, eDeviceTypeTopUnitStandard, 1, "top", 4);
    TCHiIobPortMappings model(*s.setup);
    TCHiIobIOBoxLinks& entry = *model.FindIOBoxLinks(-1);
    TCHiIobPortLink& connector = *TCHiIobPortMappings::GetRow(&entry, 13);
    TCHiIobPortMappings::RemovePositionRows(entry, connector);
    ASSERT_EQ(Rows(model, -1).size(), 25u);
    EXPECT_EQ(TCHiIobPortMappings::GetRow(&entry, 14)->m_pPort->GetId(), kSdi2);
    // Removing again does not eat the following port rows, which have no connector data.
    TCHiIobPortMappings::RemovePositionRows(entry, connector);
    EXPECT_EQ(Rows(model, -1).size(), 25u);

    TCHiIobPortMappings::InsertPositionRows(entry, connector);
    const auto rows = Rows(model, -1);
    ASSERT_EQ(rows.size(), 29u);
    for (int p = 1; p <= 4; ++p) {
        const TCHiIobPortLink& row = *rows[12 + static_cast<std::size_t>(p)];
        ASSERT_NE(row.m_pConnectorData, nullptr);
        EXPECT_EQ(row.m_pConnectorData->GetPosition(), p);
        EXPECT_EQ(row.m_pDeviceType, nullptr);
        EXPECT_EQ(row.m_iDeviceId, -1);
        EXPECT_EQ(row.m_pPort->GetId(), kSdi1);
    }
    const TCHiIobPortLink stranger;
    TCHiIobPortMappings::InsertPositionRows(entry, stranger);
    TCHiIobPortMappings::RemovePositionRows(entry, stranger);
    EXPECT_EQ(Rows(model, -1).size(), 29u);
}

TEST(LinksModel, ADuplicateIdOnAnotherBoxNamesThatBox) {
    MappingSetup s({2, 10});
    s.Add(10, kSdi2, eDeviceTypeLickometer, 0, "Lickometer (KX-503) 1");
    TCHiIobPortMappings model(*s.setup);
    TCHiIobPortLink& row = *RowOf(model, 2, kSdi1);
    row.m_pDeviceType = model.FindDeviceType("Lickometer (KX-503)");
    std::string message = "untouched";
    EXPECT_FALSE(model.CheckUniqueDeviceId(row, "Lickometer (KX-503) 1", message));
    EXPECT_EQ(message,
              "IO Box 10 Port \"SDI Port 2\" \"Lickometer (KX-503)\" has the same ID as\n"
              "Port \"SDI Port 1\" \"Lickometer (KX-503)\".\nThis is not allowed.");
    message = "untouched";
    EXPECT_TRUE(model.CheckUniqueDeviceId(row, "lickometer (kx-503) 1", message));
    EXPECT_EQ(message, "untouched");
    // A row never collides with itself.
    EXPECT_TRUE(
        model.CheckUniqueDeviceId(*RowOf(model, 10, kSdi2), "Lickometer (KX-503) 1", message));
}

TEST(LinksModel, ValidationWantsAnIdOnEveryDeviceRow) {
    MappingSetup s;
    TCHiIobPortMappings model(*s.setup);
    TCHiIobIOBoxLinks& entry = *model.FindIOBoxLinks(-1);
    std::string message;
    EXPECT_TRUE(model.ValidateIOBox(entry, message));
    TCHiIobPortLink& row = *RowOf(model, -1, 3);
    row.m_pDeviceType = model.FindDeviceType("Pellet Dispenser (KX-502)");
    for (const std::string idText : {"", "<Enter device ID>"}) {
        row.m_strDeviceId = idText;
        message.clear();
        EXPECT_FALSE(model.ValidateIOBox(entry, message));
        EXPECT_EQ(message,
                  "Port \"TTL Port 3\" \"Pellet Dispenser (KX-502)\" has no device ID.\n"
                  "This is not allowed.");
    }
    row.m_strDeviceId = "feeder";
    EXPECT_TRUE(model.ValidateIOBox(entry, message));
    // An empty row's stale id text still counts against others.
    RowOf(model, -1, 4)->m_strDeviceId = "feeder";
    EXPECT_FALSE(model.ValidateIOBox(entry, message));
    EXPECT_EQ(message,
              "IO Box -1 Port \"TTL Port 4\" \"<No device connected>\" has the same ID as\n"
              "Port \"TTL Port 3\" \"Pellet Dispenser (KX-502)\".\nThis is not allowed.");
}

TEST(LinksModel, DefaultIdsTakeTheFirstFreeNumber) {
    MappingSetup s({2, 10});
    s.Add(10, kSdi1, eDeviceTypeLickometer, 0, "Lickometer (KX-503) 1");
    TCHiIobPortMappings model(*s.setup);
    TCHiIobPortLink& row = *RowOf(model, 2, kSdi2);
    model.AssignDefaultDeviceId(row);
    EXPECT_TRUE(row.m_strDeviceId.empty()) << "a row without device type gets no id";
    row.m_pDeviceType = model.FindDeviceType("Lickometer (KX-503)");
    RowOf(model, 2, kSdi1)->m_strDeviceId = "Lickometer (KX-503) 2";
    model.AssignDefaultDeviceId(row);
    EXPECT_EQ(row.m_strDeviceId, "Lickometer (KX-503) 3");
}

TEST(LinksModel, WhenAll999DefaultIdsAreTakenTheRowKeepsItsText) {
    MappingSetup s;
    TCHiIobPortMappings model(*s.setup);
    TCHiIobIOBoxLinks& entry = *model.FindIOBoxLinks(-1);
    for (int n = 1; n <= 999; ++n) {
        auto filler = std::make_unique<TCHiIobPortLink>();
        filler->m_pPort = TCHiIobPortMappings::GetRow(&entry, 1)->m_pPort;
        filler->m_strDeviceId = "Custom Hardware " + std::to_string(n);
        entry.m_lstPortLinks.push_back(std::move(filler));
    }
    TCHiIobPortLink& row = *TCHiIobPortMappings::GetRow(&entry, 2);
    row.m_pDeviceType = model.FindDeviceType("Custom Hardware");
    model.AssignDefaultDeviceId(row);
    EXPECT_EQ(row.m_strDeviceId, "");
}

class ApplyLinksTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.Add(-1, kTtl1, eDeviceTypePelletDispenser, 2, "feeder");
        s.Add(-1, kSdi1, eDeviceTypeTopUnitStandard, 5, "top left", 1);
        s.Add(-1, kSdi1, eDeviceTypeTopUnitCorvane, 9, "top right", 3);
        s.Add(-1, kSdi2, eDeviceTypeLickometer, 4, "licks");
    }

    MappingSetup s;
    const std::vector<DeviceSummary> before{{2, "feeder", eDeviceTypePelletDispenser, -1},
                                            {4, "licks", eDeviceTypeLickometer, -1},
                                            {5, "top left", eDeviceTypeTopUnitStandard, 1},
                                            {9, "top right", eDeviceTypeTopUnitCorvane, 3}};
};

TEST_F(ApplyLinksTest, AnUnchangedModelChangesNothing) {
    std::vector<const TCHiIobDevice*> objects;
    s.setup->GetDevices(objects);
    const TCHiIobPortMappings model(*s.setup);
    s.setup->ApplyLinks(model);
    EXPECT_EQ(Devices(*s.setup), before);
    std::vector<const TCHiIobDevice*> after;
    s.setup->GetDevices(after);
    EXPECT_EQ(after, objects) << "kept devices are the same objects";
}

TEST_F(ApplyLinksTest, ARenamedDeviceIsReplacedWithTheNextIdAndTheOthersStay) {
    TCHiIobPortMappings model(*s.setup);
    RowOf(model, -1, kSdi2)->m_strDeviceId = "more licks";
    s.setup->ApplyLinks(model);
    EXPECT_EQ(Devices(*s.setup),
              (std::vector<DeviceSummary>{{2, "feeder", eDeviceTypePelletDispenser, -1},
                                          {5, "top left", eDeviceTypeTopUnitStandard, 1},
                                          {9, "top right", eDeviceTypeTopUnitCorvane, 3},
                                          {10, "more licks", eDeviceTypeLickometer, -1}}));
    EXPECT_EQ(s.setup->FindIOBox(-1)->GetPortOfDevice(10), kSdi2);
}

TEST_F(ApplyLinksTest, NewPositionsAndTypesBecomeNewDevicesOnTheirPorts) {
    TCHiIobPortMappings model(*s.setup);
    TCHiIobPortLink& left = *RowOf(model, -1, kSdi1, 1);
    TCHiIobPortLink& empty = *RowOf(model, -1, kSdi1, 4);
    empty.m_pDeviceType = left.m_pDeviceType;
    empty.m_strDeviceId = left.m_strDeviceId;
    left.m_pDeviceType = nullptr;
    left.m_strDeviceId.clear();
    RowOf(model, -1, kTtl1)->m_pDeviceType = model.FindDeviceType("TTL Port Tester (KX-504)");
    s.setup->ApplyLinks(model);
    EXPECT_EQ(Devices(*s.setup),
              (std::vector<DeviceSummary>{{4, "licks", eDeviceTypeLickometer, -1},
                                          {9, "top right", eDeviceTypeTopUnitCorvane, 3},
                                          {10, "feeder", eDeviceTypeTtlPortTester, -1},
                                          {11, "top left", eDeviceTypeTopUnitStandard, 4}}));
    EXPECT_EQ(s.setup->FindIOBox(-1)->GetPortOfDevice(11), kSdi1);
    EXPECT_EQ(s.setup->FindIOBox(-1)->GetPortOfDevice(10), kTtl1);
}

TEST_F(ApplyLinksTest, RowsWithoutUsableIdAddNothing) {
    TCHiIobPortMappings model(*s.setup);
    TCHiIobPortLink& tester = *RowOf(model, -1, 2);
    tester.m_pDeviceType = model.FindDeviceType("TTL Port Tester (KX-504)");
    tester.m_strDeviceId = "<Enter device ID>";
    TCHiIobPortLink& custom = *RowOf(model, -1, 3);
    custom.m_pDeviceType = model.FindDeviceType("Custom Hardware");
    custom.m_strDeviceId = "";
    TCHiIobPortLink& copy = *RowOf(model, -1, 4);
    copy.m_pDeviceType = model.FindDeviceType("Custom Hardware");
    copy.m_strDeviceId = "licks";
    s.setup->ApplyLinks(model);
    EXPECT_EQ(Devices(*s.setup), before);
}

TEST_F(ApplyLinksTest, DevicesThatDoNotFitTheirConnectorPositionAreRefused) {
    TCHiIobPortMappings model(*s.setup);
    TCHiIobPortLink& position = *RowOf(model, -1, kSdi1, 2);
    position.m_pDeviceType = model.FindDeviceType("Lickometer (KX-503)");
    position.m_strDeviceId = "licks behind the interface";
    TCHiIobPortLink& port = *RowOf(model, -1, 15);
    port.m_pDeviceType = model.FindDeviceType("Top Unit (Standard)");
    port.m_strDeviceId = "top without interface";
    TCHiIobPortLink& kind = *RowOf(model, -1, 2);
    kind.m_pDeviceType = model.FindDeviceType("Lickometer (KX-503)");
    kind.m_strDeviceId = "licks on a TTL port";
    s.setup->ApplyLinks(model);
    EXPECT_EQ(Devices(*s.setup), before);
}

TEST_F(ApplyLinksTest, AnEmptiedPortLosesItsDevice) {
    TCHiIobPortMappings model(*s.setup);
    TCHiIobIOBoxLinks& entry = *model.FindIOBoxLinks(-1);
    TCHiIobPortLink& connector = *RowOf(model, -1, kSdi1);
    TCHiIobPortMappings::RemovePositionRows(entry, connector);
    connector.m_pConnectorType = nullptr;
    RowOf(model, -1, kTtl1)->m_pDeviceType = nullptr;
    s.setup->ApplyLinks(model);
    EXPECT_EQ(Devices(*s.setup),
              (std::vector<DeviceSummary>{{4, "licks", eDeviceTypeLickometer, -1}}));
}

}  // namespace
