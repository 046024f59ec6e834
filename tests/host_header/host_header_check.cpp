// Compiled as a host would be: only the public header is on the include path.
#include <ZentrixInterface.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

TEST(HostHeader, RecordLayoutsMatchTheTypeLibrary) {
    EXPECT_EQ(sizeof(tagTECKavexIdtIODevice), 244u);
    EXPECT_EQ(offsetof(tagTECKavexIdtIODevice, m_szName), 4u);

    EXPECT_EQ(sizeof(tagTECKavexIdtHiDevice), 248u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiDevice, m_iDeviceTypeId), 244u);

    EXPECT_EQ(sizeof(tagTECKavexIdtHiDeviceType), 256u);
    EXPECT_EQ(alignof(tagTECKavexIdtHiDeviceType), 8u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiDeviceType, m_MaxFrequency), 248u);

    EXPECT_EQ(sizeof(tagTECKavexIdtHiCommand), 248u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiCommand, m_bIsDefaultCommand), 244u);

    EXPECT_EQ(sizeof(tagTECKavexIdtHiSignal), 288u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiSignal, m_eValueType), 244u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiSignal, m_bHasValDefault), 248u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiSignal, m_valDefault), 256u);

    EXPECT_EQ(sizeof(tagTECKavexIdtHiValue), 32u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiValue, m_bValueBoolean), 4u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiValue, m_lValueLongLong), 8u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiValue, m_dbValueDouble), 16u);
    EXPECT_EQ(offsetof(tagTECKavexIdtHiValue, m_nMicroSeconds), 24u);

    EXPECT_EQ(sizeof(GUID), 16u);
    EXPECT_EQ(sizeof(HRESULT), 4u);
    EXPECT_EQ(sizeof(ULONG), 4u);
    EXPECT_EQ(sizeof(char16_t), 2u);
}

TEST(HostHeader, StatusCodesAndEnumeration) {
    EXPECT_EQ(static_cast<std::uint32_t>(E_FAIL), 0x80004005u);
    EXPECT_EQ(static_cast<std::uint32_t>(E_NOINTERFACE), 0x80004002u);
    EXPECT_EQ(static_cast<std::uint32_t>(E_POINTER), 0x80004003u);
    EXPECT_EQ(static_cast<std::uint32_t>(E_OUTOFMEMORY), 0x8007000Eu);
    EXPECT_EQ(static_cast<std::uint32_t>(CLASS_E_CLASSNOTAVAILABLE), 0x80040111u);
    EXPECT_EQ(static_cast<std::uint32_t>(CLASS_E_NOAGGREGATION), 0x80040110u);
    EXPECT_EQ(S_OK, 0);
    EXPECT_EQ(S_FALSE, 1);
    EXPECT_EQ(eKavexIdtHiVtUndefined, -1);
    EXPECT_EQ(eKavexIdtHiVtBool, 0);
    EXPECT_EQ(eKavexIdtHiVtLongLong, 1);
    EXPECT_EQ(eKavexIdtHiVtDouble, 2);
    EXPECT_EQ(eKavexIdtHiVtDuration, 3);
}

// The registry form of a GUID, as a host would write it.
std::string Format(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

TEST(HostHeader, IdentitiesAreTheRegisteredOnes) {
    EXPECT_EQ(Format(IID_ITECKavexHardwareInterface), "0B004DAC-F384-4139-A3A3-2BD33850689C");
    EXPECT_EQ(Format(CLSID_Zentrix), "AABBC529-E3D6-43F3-A4B4-08310341BCD0");
    EXPECT_EQ(Format(LIBID_ZentrixLib), "81A539DA-4F55-4F59-8D32-CB10D487A056");
    EXPECT_EQ(Format(APPID_Zentrix), "EB643C1B-5B4B-4D9A-8DDD-F036E2EF6D95");
    EXPECT_EQ(Format(CATID_ZentrixHardwareInterfaces), "AA96C423-B08F-4DC6-A7DF-F82234754970");
    EXPECT_EQ(Format(IID_IUnknown), "00000000-0000-0000-C000-000000000046");
    EXPECT_EQ(Format(IID_IClassFactory), "00000001-0000-0000-C000-000000000046");
    EXPECT_EQ(Format(IID_IDispatch), "00020400-0000-0000-C000-000000000046");
    EXPECT_TRUE(IsEqualGUID(CLSID_Zentrix, CLSID_Zentrix));
    EXPECT_FALSE(CLSID_Zentrix == IID_ITECKavexHardwareInterface);
    GUID almost = CLSID_Zentrix;
    almost.Data4[7] ^= 1;
    EXPECT_FALSE(almost == CLSID_Zentrix);
}

// Records which slot was called, so that the vtable order a host relies on can be checked through
// the raw table of function pointers.
class SlotRecorder final : public ITECKavexHardwareInterface {
public:
    std::vector<int> calls;

    HRESULT QueryInterface(const GUID&, void**) override { return Record(0); }
    ULONG AddRef() override { return static_cast<ULONG>(Record(1)); }
    ULONG Release() override { return static_cast<ULONG>(Record(2)); }
    HRESULT Load(const char16_t*) override { return Record(3); }
    HRESULT Save(const char16_t*) override { return Record(4); }
    HRESULT IsIODeviceConnected(std::int32_t) override { return Record(5); }
    HRESULT GetIODevices(std::int32_t*, tagTECKavexIdtIODevice**) override { return Record(6); }
    HRESULT GetDevices(std::int32_t*, tagTECKavexIdtHiDevice**) override { return Record(7); }
    HRESULT GetDeviceTypes(std::int32_t*, tagTECKavexIdtHiDeviceType**) override {
        return Record(8);
    }
    HRESULT GetCommands(std::int32_t, std::int32_t*, tagTECKavexIdtHiCommand**) override {
        return Record(9);
    }
    HRESULT GetSignals(std::int32_t, std::int32_t*, tagTECKavexIdtHiSignal**) override {
        return Record(10);
    }
    HRESULT SendCommand(std::int32_t, std::int32_t) override { return Record(11); }
    HRESULT ReceiveSignal(std::int32_t, std::int32_t, tagTECKavexIdtHiValue*) override {
        return Record(12);
    }
    HRESULT StartSampler() override { return Record(13); }
    HRESULT StopSampler() override { return Record(14); }
    HRESULT ShowDialog(std::int8_t) override { return Record(15); }

private:
    HRESULT Record(int slot) {
        calls.push_back(slot);
        return slot;
    }
};

TEST(HostHeader, VtableHoldsIUnknownThenTheThirteenMethodsInOrder) {
    SlotRecorder recorder;
    ITECKavexHardwareInterface* itf = &recorder;
    void* const* vtable;
    std::memcpy(&vtable, static_cast<void*>(itf), sizeof vtable);
    // Every slot is called the way a C host would: through the raw table, `this` first.
    const auto slot = [vtable](int index, auto fn) {
        std::memcpy(&fn, &vtable[index], sizeof fn);
        return fn;
    };
    using Itf = ITECKavexHardwareInterface*;
    GUID iid{};
    void* object = nullptr;
    std::int32_t count = 0;
    tagTECKavexIdtHiValue value{};
    EXPECT_EQ(
        slot(0, static_cast<HRESULT (*)(Itf, const GUID*, void**)>(nullptr))(itf, &iid, &object),
        0);
    for (int index : {1, 2}) {
        EXPECT_EQ(slot(index, static_cast<ULONG (*)(Itf)>(nullptr))(itf),
                  static_cast<ULONG>(index));
    }
    for (int index : {3, 4}) {
        EXPECT_EQ(slot(index, static_cast<HRESULT (*)(Itf, const char16_t*)>(nullptr))(itf, u"dir"),
                  index);
    }
    EXPECT_EQ(slot(5, static_cast<HRESULT (*)(Itf, std::int32_t)>(nullptr))(itf, 0), 5);
    for (int index : {6, 7, 8}) {
        EXPECT_EQ(slot(index, static_cast<HRESULT (*)(Itf, std::int32_t*, void**)>(nullptr))(
                      itf, &count, &object),
                  index);
    }
    for (int index : {9, 10}) {
        EXPECT_EQ(slot(index, static_cast<HRESULT (*)(Itf, std::int32_t, std::int32_t*, void**)>(
                                  nullptr))(itf, 1, &count, &object),
                  index);
    }
    EXPECT_EQ(
        slot(11, static_cast<HRESULT (*)(Itf, std::int32_t, std::int32_t)>(nullptr))(itf, 1, 2),
        11);
    EXPECT_EQ(
        slot(12, static_cast<HRESULT (*)(Itf, std::int32_t, std::int32_t, tagTECKavexIdtHiValue*)>(
                     nullptr))(itf, 1, 2, &value),
        12);
    for (int index : {13, 14}) {
        EXPECT_EQ(slot(index, static_cast<HRESULT (*)(Itf)>(nullptr))(itf), index);
    }
    EXPECT_EQ(slot(15, static_cast<HRESULT (*)(Itf, std::int8_t)>(nullptr))(itf, 1), 15);
    std::vector<int> everySlot(16);
    for (int index = 0; index < 16; ++index) {
        everySlot[index] = index;
    }
    EXPECT_EQ(recorder.calls, everySlot);
}

}  // namespace
