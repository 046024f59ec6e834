#include "ProgIdLookup.h"

#include "CliError.h"
#include "platform/Registry.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zentrix::RegistryRoot;
using zentrix::RegistryStore;
using zentrix::testing::ScopedEnv;
using zentrix::testing::TempDir;

constexpr const char* kClassId = "{AABBC529-E3D6-43F3-A4B4-08310341BCD0}";

// Registers a class the way the plug-in's registration does, through the plug-in's own store and
// writer, so that the host is shown exactly the file the plug-in writes.
class ProgIdLookupTest : public ::testing::Test {
protected:
    void Register(const std::string& library, bool throughCurVer = false) {
        RegistryStore store;
        const auto root = RegistryRoot::ClassesRoot;
        store.SetDword(RegistryRoot::CurrentUser, "Software\\Zentrix", "LickometerFrequency", 3);
        store.SetString(root, "Zentrix.Zentrix.1\\CLSID", "", kClassId);
        if (throughCurVer) {
            store.SetString(root, "Zentrix.Zentrix\\CurVer", "", "Zentrix.Zentrix.1");
        } else {
            store.SetString(root, "Zentrix.Zentrix\\CLSID", "", kClassId);
        }
        const std::string server = std::string("CLSID\\") + kClassId + "\\InprocServer32";
        store.SetString(root, server, "ThreadingModel", "Apartment");
        store.SetString(root, server, "", library);
        ASSERT_TRUE(store.Save(m_storePath));
    }

    TempDir m_dir;
    std::filesystem::path m_storePath = m_dir.Path() / "registry.reg";
    ScopedEnv m_registry{"ZENTRIX_REGISTRY", m_storePath.string()};
};

TEST_F(ProgIdLookupTest, ReadsBackslashesQuotesAndNonAsciiAsThePluginWroteThem) {
    const std::string library =
        "/opt/lab \"odd\"\\dir\\\\/caf\xC3\xA9 \xF0\x9F\x90\x80/libzentrix.so";
    Register(library);
    const auto found = zentrix::cli::ResolveProgId("Zentrix.Zentrix");
    EXPECT_EQ(found.library, library);
    EXPECT_EQ(found.classId.Data1, 0xAABBC529u);
    EXPECT_EQ(found.classId.Data4[7], 0xD0);
}

TEST_F(ProgIdLookupTest, FollowsCurVerInAnyCase) {
    Register("/usr/lib/libzentrix.so.1", true);
    EXPECT_EQ(zentrix::cli::ResolveProgId("zentrix.ZENTRIX").library, "/usr/lib/libzentrix.so.1");
}

// A library path with a line break cannot be quoted on one line, so the plug-in writes it as
// UTF-16 hex data, which the host must read as well.
TEST_F(ProgIdLookupTest, ReadsAPathThePluginHadToWriteAsUtf16) {
    const std::string library = "/opt/two\nlines/libzentrix.so";
    Register(library);
    EXPECT_EQ(zentrix::cli::ResolveProgId("Zentrix.Zentrix").library, library);
}

TEST_F(ProgIdLookupTest, AnUnregisteredProgIdNamesTheStore) {
    Register("/usr/lib/libzentrix.so.1");
    try {
        static_cast<void>(zentrix::cli::ResolveProgId("Other.Thing"));
        FAIL() << "no error for an unregistered ProgID";
    } catch (const zentrix::cli::CliError& error) {
        EXPECT_NE(std::string(error.what()).find(m_storePath.string()), std::string::npos)
            << error.what();
    }
}

}  // namespace
