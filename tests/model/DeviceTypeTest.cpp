#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "model/DeviceType.h"

namespace {

TCHiIobSignalData LineSignal(std::int32_t id, std::int32_t source) {
    TCHiIobSignalData data;
    data.m_iId = id;
    data.m_strName = "signal " + std::to_string(id);
    data.m_iSource = source;
    data.m_iKind = eSignalKindLine;
    data.m_iLine = 1;
    data.m_iDerivation = eDerivationIsHigh;
    data.m_eValueType = eKavexIdtHiVtBool;
    data.m_bHasValDefault = true;
    data.m_valDefault = TCHiIobValue(false);
    return data;
}

std::vector<std::int32_t> Ids(const std::vector<const TCHiIobDeviceType*>& types) {
    std::vector<std::int32_t> ids;
    for (const auto* type : types) {
        ids.push_back(type->GetId());
    }
    return ids;
}

TEST(DeviceType, LookupsUseInsertionOrderAndFirstMatch) {
    TCHiIobDeviceType type(7, "Thing", 0.0, ePortKindTtl, -1);
    type.AddCommand(std::make_unique<TCHiIobCommand>(1, "on", false, 1, true, 0));
    type.AddCommand(std::make_unique<TCHiIobCommand>(0, "off", true, 1, false, 0));
    type.AddCommand(std::make_unique<TCHiIobCommand>(1, "duplicate", false, 2, true, 0));
    type.AddSignal(std::make_unique<TCHiIobSignal>(LineSignal(4, eSignalSourceOutput)));
    type.AddSignal(std::make_unique<TCHiIobSignal>(LineSignal(2, eSignalSourceInput)));
    type.AddSignal(std::make_unique<TCHiIobSignal>(LineSignal(3, eSignalSourceOutput)));

    ASSERT_NE(type.FindCommand(1), nullptr);
    EXPECT_EQ(type.FindCommand(1)->GetName(), "on");
    EXPECT_EQ(type.FindCommand(9), nullptr);

    std::vector<const TCHiIobSignal*> signals{nullptr};
    type.GetSignalsOfSource(signals, eSignalSourceOutput);
    ASSERT_EQ(signals.size(), 2u);
    EXPECT_EQ(signals[0]->GetId(), 4);
    EXPECT_EQ(signals[1]->GetId(), 3);
    type.GetSignals(signals);
    EXPECT_EQ(signals.size(), 3u);
    EXPECT_EQ(signals[1]->GetId(), 2);
}

TEST(DeviceType, SignalConvertsByItsDeclaredType) {
    TCHiIobSignalData data = LineSignal(1, eSignalSourceInput);
    data.m_eValueType = eKavexIdtHiVtDuration;
    data.m_valDefault = TCHiIobValue(std::int64_t{0});
    const TCHiIobSignal signal(data);
    const tagTECKavexIdtHiValue record = signal.GetDefault();
    EXPECT_EQ(record.m_eType, eKavexIdtHiVtDuration);
    EXPECT_EQ(record.m_nMicroSeconds, 0);
    const tagTECKavexIdtHiValue converted = signal.ToHostValue(TCHiIobValue(std::int64_t{30000}));
    EXPECT_EQ(converted.m_nMicroSeconds, 30000);
    EXPECT_EQ(converted.m_lValueLongLong, 0);
}

TEST(DeviceTypes, CollectionKeepsTheFirstAndListsByAscendingId) {
    TCHiIobDeviceTypes types;
    types.Add(std::make_unique<TCHiIobDeviceType>(5, "Custom Hardware", 0.0, ePortKindTtl, -1));
    types.Add(std::make_unique<TCHiIobDeviceType>(1, "Behind connector", 0.0, ePortKindSdi, 0));
    types.Add(std::make_unique<TCHiIobDeviceType>(3, "Direct SDI", 2.0, ePortKindSdi, -1));
    types.Add(std::make_unique<TCHiIobDeviceType>(5, "Second with id 5", 0.0, ePortKindTtl, -1));
    types.Add(std::make_unique<TCHiIobDeviceType>(2, "Behind TTL connector", 0.0, ePortKindTtl, 1));
    types.Add(nullptr);

    EXPECT_EQ(types.Find(5)->GetName(), "Custom Hardware");
    EXPECT_EQ(types.Find(4), nullptr);
    EXPECT_EQ(types.FindByName("custom hardware"), nullptr);
    EXPECT_EQ(types.FindByName("Custom Hardware")->GetId(), 5);

    std::vector<const TCHiIobDeviceType*> list{nullptr, nullptr};
    types.GetAll(list);
    EXPECT_EQ(Ids(list), (std::vector<std::int32_t>{1, 2, 3, 5}));
    types.GetDirectTypes(ePortKindSdi, list);
    EXPECT_EQ(Ids(list), (std::vector<std::int32_t>{3}));
    types.GetDirectTypes(ePortKindTtl, list);
    EXPECT_EQ(Ids(list), (std::vector<std::int32_t>{5}));
    types.GetTypesOfConnector(0, list);
    EXPECT_EQ(Ids(list), (std::vector<std::int32_t>{1}));
    types.GetTypesOfConnector(-1, list);
    EXPECT_EQ(Ids(list), (std::vector<std::int32_t>{3, 5}));
}

}  // namespace
