#include "platform/Registry.h"

#include "support/LogFile.h"
#include "support/RunAsUser.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zentrix {
namespace {

namespace fs = std::filesystem;

using zentrix::testing::GiveToOrdinaryUser;
using zentrix::testing::RunAsUser;
using zentrix::testing::ScopedEnv;
using zentrix::testing::TempDir;

constexpr RegistryRoot kUser = RegistryRoot::CurrentUser;

std::string Utf16LeWithBom(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> DirectoryEntries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

constexpr std::u16string_view kRegeditExport =
    u"Windows Registry Editor Version 5.00\r\n"
    u"\r\n"
    u"[HKEY_CURRENT_USER\\Software\\Zentrix]\r\n"
    u"@=\"Zentrix Interface\"\r\n"
    u"\"InstallDir\"=\"C:\\\\Program Files\\\\Zentrix\\\\\"\r\n"
    u"\"SampleRate\"=dword:0000c350\r\n"
    u"\"Mask\"=dword:FFFFFFFF\r\n"
    u"\"Owner\"=\"Jürgen Größ 😀\"\r\n"
    u"\r\n"
    u"[HKEY_CURRENT_USER\\Software\\Zentrix\\Devices]\r\n"
    u"\"Ports\"=hex(7):43,00,4f,00,4d,00,31,00,00,00,43,00,4f,00,4d,00,32,00,00,00,00,\\\r\n"
    u"  00\r\n"
    u"\"Blob\"=hex:01,02,03\r\n"
    u"\r\n"
    u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zentrix]\r\n"
    u"\"Installed\"=dword:00000001\r\n"
    u"\r\n";

class RegistryTest : public ::testing::Test {
protected:
    const fs::path& Dir() const { return m_temp.Path(); }

    fs::path Write(const std::string& name, const std::string& bytes) const {
        return m_temp.Write(name, bytes);
    }

    RegistryStore LoadText(const std::string& bytes) const {
        return RegistryStore::Load(Write("load.reg", bytes));
    }

    // A save must load back into a store that saves to exactly the same bytes.
    std::string SaveTwiceAndCompare(const RegistryStore& store) const {
        const fs::path first = Dir() / "first.reg";
        const fs::path second = Dir() / "second.reg";
        EXPECT_TRUE(store.Save(first));
        const RegistryStore reloaded = RegistryStore::Load(first);
        EXPECT_FALSE(reloaded.IsDamaged());
        EXPECT_TRUE(reloaded.Save(second));
        const std::string text = ReadBytes(first);
        EXPECT_EQ(text, ReadBytes(second));
        return text;
    }

    std::uint32_t ReadNumberFrom(const std::string& bytes, std::uint32_t defaultValue) const {
        const ScopedEnv env("ZENTRIX_REGISTRY", Write("number.reg", bytes).c_str());
        return ReadRegistryNumber(kUser, "Software\\Zentrix", "Level", defaultValue);
    }

    TempDir m_temp;
};

TEST_F(RegistryTest, ReadsRegeditUtf16ExportWithCrlf) {
    const RegistryStore store = LoadText(Utf16LeWithBom(kRegeditExport));

    EXPECT_FALSE(store.IsDamaged());
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", ""), "Zentrix Interface");
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", "InstallDir"),
              "C:\\Program Files\\Zentrix\\");
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "SampleRate"), 50000u);
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Mask"), 0xFFFFFFFFu);
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", "Owner"), "Jürgen Größ 😀");
    EXPECT_EQ(store.GetSubKeyNames(kUser, "Software\\Zentrix"),
              std::vector<std::string>{"Devices"});
    EXPECT_EQ(store.GetDword(RegistryRoot::LocalMachine, "SOFTWARE\\Zentrix", "Installed"), 1u);

    EXPECT_TRUE(store.KeyExists(kUser, "Software\\Zentrix\\Devices"));
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix\\Devices", "Ports"), std::nullopt);
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix\\Devices", "Blob"), std::nullopt);
}

TEST_F(RegistryTest, ReadsUtf8WithBomAndRegedit4Files) {
    const RegistryStore withBom = LoadText(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
        "; exported by hand\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"Name\"=\"Größe\"\n");
    EXPECT_FALSE(withBom.IsDamaged());
    EXPECT_EQ(withBom.GetString(kUser, "Software\\Zentrix", "Name"), "Größe");

    const RegistryStore legacy = LoadText(
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Zentrix]\r\n\"Level\"=dword:00000003\r\n");
    EXPECT_FALSE(legacy.IsDamaged());
    EXPECT_EQ(legacy.GetDword(kUser, "Software\\Zentrix", "Level"), 3u);
}

TEST_F(RegistryTest, BytesInMemoryReadAsTheSameFileDoes) {
    const std::string whole = Utf16LeWithBom(kRegeditExport);
    const RegistryStore fromBytes = RegistryStore::FromBytes(whole, "memory.reg");
    EXPECT_FALSE(fromBytes.IsDamaged());
    EXPECT_EQ(fromBytes.GetString(kUser, "Software\\Zentrix", "Owner"), "Jürgen Größ 😀");
    EXPECT_EQ(fromBytes.GetDword(kUser, "Software\\Zentrix", "SampleRate"), 50000u);

    const std::string cut = whole.substr(0, whole.size() - 1);
    const RegistryStore fromCutBytes = RegistryStore::FromBytes(cut, "memory.reg");
    const RegistryStore fromCutFile = LoadText(cut);
    EXPECT_TRUE(fromCutBytes.IsDamaged());
    EXPECT_EQ(fromCutBytes.IsValueDamaged(kUser, "Software\\Zentrix", "SampleRate"),
              fromCutFile.IsValueDamaged(kUser, "Software\\Zentrix", "SampleRate"));
    EXPECT_TRUE(fromCutBytes.IsValueDamaged(kUser, "Software\\Zentrix", "SampleRate"));
}

TEST_F(RegistryTest, DwordsNeedExactlyEightHexDigitsInEitherCase) {
    const RegistryStore store = LoadText(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"Zero\"=dword:00000000\n"
        "\"Lower\"=dword:deadbeef\n"
        "\"Upper\"=DWORD:DEADBEEF\n"
        "\"Max\"=dword:ffffffff\n"
        "\"Short\"=dword:a\n"
        "\"Long\"=dword:000000000\n"
        "\"NotHex\"=dword:0000000g\n"
        "\"Signed\"=dword:-0000001\n");

    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Zero"), 0u);
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Lower"), 0xDEADBEEFu);
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Upper"), 0xDEADBEEFu);
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Max"), 0xFFFFFFFFu);
    for (const char* rejected : {"Short", "Long", "NotHex", "Signed"}) {
        EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", rejected), std::nullopt) << rejected;
    }
    EXPECT_TRUE(store.IsDamaged());
}

TEST_F(RegistryTest, LookupIgnoresCaseButKeepsTheFirstSpelling) {
    RegistryStore store = LoadText(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Vendor]\n"
        "\"Level\"=dword:00000001\n\n"
        "[hkey_current_user\\SOFTWARE\\VENDOR\\Child\\]\n\n"
        "[HKEY_CURRENT_USER\\software\\vendor]\n"
        "\"LEVEL\"=dword:00000002\n");
    ASSERT_FALSE(store.IsDamaged());

    EXPECT_EQ(store.GetDword(kUser, "sOfTwArE\\vendor", "level"), 2u);
    EXPECT_EQ(store.GetSubKeyNames(kUser, "SOFTWARE"), std::vector<std::string>{"Vendor"});
    EXPECT_TRUE(store.KeyExists(kUser, "Software\\Vendor\\CHILD\\"));

    store.SetString(kUser, "SOFTWARE\\VENDOR\\CHILD", "NAME", "x");
    store.SetString(kUser, "software\\vendor\\child", "name", "y");
    EXPECT_EQ(SaveTwiceAndCompare(store),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Vendor]\n"
              "\"Level\"=dword:00000002\n\n"
              "[HKEY_CURRENT_USER\\Software\\Vendor\\Child]\n"
              "\"NAME\"=\"y\"\n\n");
}

TEST_F(RegistryTest, SaveWritesSortedSectionsWithDefaultValueFirst) {
    RegistryStore store;
    store.SetDword(kUser, "Software\\Zentrix", "Level", 10);
    store.SetString(kUser, "Software\\Zentrix", "", "Default");
    store.SetString(kUser, "Software\\Zentrix", "After", "2");
    store.CreateKey(kUser, "Software\\Zentrix\\Empty");
    store.SetString(kUser, "Software\\Alpha", "Name", "a");
    store.SetString(RegistryRoot::LocalMachine, "SOFTWARE\\Zentrix", "Dir", "C:\\Zentrix");
    store.SetString(RegistryRoot::ClassesRoot, ".zx", "", "Zentrix.File");
    store.SetDword(RegistryRoot::Users, "", "RootValue", 1);

    EXPECT_EQ(SaveTwiceAndCompare(store),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CLASSES_ROOT\\.zx]\n"
              "@=\"Zentrix.File\"\n\n"
              "[HKEY_CURRENT_USER\\Software]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Alpha]\n"
              "\"Name\"=\"a\"\n\n"
              "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
              "@=\"Default\"\n"
              "\"Level\"=dword:0000000a\n"
              "\"After\"=\"2\"\n\n"
              "[HKEY_CURRENT_USER\\Software\\Zentrix\\Empty]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zentrix]\n"
              "\"Dir\"=\"C:\\\\Zentrix\"\n\n"
              "[HKEY_USERS]\n"
              "\"RootValue\"=dword:00000001\n\n");
}

TEST_F(RegistryTest, EscapedAndMultiLineStringsRoundTrip) {
    const std::string name = "Path \"quoted\" \\ name\\";
    const std::string value = "C:\\dir\\\"x\"\\";
    const std::string multiLine = "first\r\nsecond\n\"third\"\n";
    RegistryStore store;
    store.SetString(kUser, "Software\\Zentrix", name, value);
    store.SetString(kUser, "Software\\Zentrix", "Lines", multiLine);
    store.SetString(kUser, "Software\\Zentrix", "Embedded", std::string("a\0b", 3));
    store.SetString(kUser, "Software\\Zentrix", "Empty", "");

    const std::string text = SaveTwiceAndCompare(store);
    EXPECT_NE(text.find("\"Path \\\"quoted\\\" \\\\ name\\\\\"=\"C:\\\\dir\\\\\\\"x\\\"\\\\\"\n"),
              std::string::npos)
        << text;

    const RegistryStore reloaded = RegistryStore::Load(Dir() / "first.reg");
    EXPECT_EQ(reloaded.GetString(kUser, "Software\\Zentrix", name), value);
    EXPECT_EQ(reloaded.GetString(kUser, "Software\\Zentrix", "Lines"), multiLine);
    EXPECT_EQ(reloaded.GetString(kUser, "Software\\Zentrix", "Embedded"), std::string("a\0b", 3));
    EXPECT_EQ(reloaded.GetString(kUser, "Software\\Zentrix", "Empty"), "");
}

TEST_F(RegistryTest, StringsComeBackByteForByteOrAreRefused) {
    using namespace std::string_literals;
    const std::vector<std::string> storable = {"plain",
                                               "bytes \xff\xfe that are no UTF-8",
                                               "\xc3\xa9t\xc3\xa9\r\nnext"s,
                                               "nul\0inside"s,
                                               "\xef\xbf\xbd\n"s,
                                               "\xf0\x9f\x98\x80\0"s};
    const std::vector<std::string> refused = {"cr\r\xff"s, "nul\0\xc3"s, "lf\n\xed\xa0\x80"s,
                                              "\xc0\xaf\r\n"s, "\xf4\x90\x80\x80\0"s};
    RegistryStore store;
    for (std::size_t i = 0; i < storable.size(); ++i) {
        store.SetString(kUser, "Software\\Zentrix", "Kept" + std::to_string(i), storable[i]);
    }
    for (std::size_t i = 0; i < refused.size(); ++i) {
        const std::string name = "Refused" + std::to_string(i);
        store.SetString(kUser, "Software\\Zentrix", name, "earlier");
        store.SetString(kUser, "Software\\Zentrix", name, refused[i]);
        EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", name), "earlier") << i;
    }
    SaveTwiceAndCompare(store);

    const RegistryStore reloaded = RegistryStore::Load(Dir() / "first.reg");
    for (std::size_t i = 0; i < storable.size(); ++i) {
        EXPECT_EQ(reloaded.GetString(kUser, "Software\\Zentrix", "Kept" + std::to_string(i)),
                  storable[i])
            << i;
    }
    for (std::size_t i = 0; i < refused.size(); ++i) {
        EXPECT_EQ(reloaded.GetString(kUser, "Software\\Zentrix", "Refused" + std::to_string(i)),
                  "earlier")
            << i;
    }
}

TEST_F(RegistryTest, LoadedStringThatCannotBeSavedIsADamagedLine) {
    using namespace std::string_literals;
    const RegistryStore store = LoadText(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"Kept\"=\"carriage\rreturn\"\n"
        "\"Bytes\"=\"only \xff bytes\"\n"
        "\"Lossy\"=\"carriage\r\xff\"\n"
        "\"LossyNul\"=\"nul\0\xfe\"\n"s);

    EXPECT_TRUE(store.IsDamaged());
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", "Kept"), "carriage\rreturn");
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", "Bytes"), "only \xff bytes");
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", "Lossy"), std::nullopt);
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", "LossyNul"), std::nullopt);
    EXPECT_TRUE(store.IsValueDamaged(kUser, "Software\\Zentrix", "Lossy"));
    EXPECT_FALSE(store.IsValueDamaged(kUser, "Software\\Zentrix", "Kept"));

    ASSERT_TRUE(store.Save(Dir() / "saved.reg"));
    const RegistryStore reloaded = RegistryStore::Load(Dir() / "saved.reg");
    EXPECT_FALSE(reloaded.IsDamaged());
    EXPECT_EQ(reloaded.GetString(kUser, "Software\\Zentrix", "Kept"), "carriage\rreturn");
    EXPECT_EQ(reloaded.GetString(kUser, "Software\\Zentrix", "Bytes"), "only \xff bytes");
}

TEST_F(RegistryTest, DeletionLinesRemoveKeyTreesAndValues) {
    const RegistryStore store = LoadText(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix\\Old\\Deeper]\n"
        "\"X\"=dword:00000001\n\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"Keep\"=dword:00000001\n"
        "\"Gone\"=dword:00000002\n\n"
        "[-HKEY_CURRENT_USER\\software\\zentrix\\OLD]\n\n"
        "[-HKEY_CURRENT_USER\\Software\\NeverExisted]\n\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"gone\"=-\n"
        "\"NeverExisted\"=-\n");

    EXPECT_FALSE(store.IsDamaged());
    EXPECT_FALSE(store.KeyExists(kUser, "Software\\Zentrix\\Old"));
    EXPECT_TRUE(store.GetSubKeyNames(kUser, "Software\\Zentrix").empty());
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Keep"), 1u);
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Gone"), std::nullopt);
}

TEST_F(RegistryTest, DeletingAWholeRootFromAFileIsRefused) {
    const RegistryStore store = LoadText(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"Level\"=dword:00000001\n\n"
        "[-HKEY_CURRENT_USER]\n");

    EXPECT_TRUE(store.IsDamaged());
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Level"), 1u);
}

TEST_F(RegistryTest, HexValuesSurviveSaveAndLoadVerbatim) {
    const std::string hexLines =
        "\"Path\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\n"
        "\"Big\"=hex(b):00,00,00,00,01,00,00,00\n"
        "\"Wrapped\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,\\\n"
        "  13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,\\\n"
        "  2b,2c\n"
        "\"Empty\"=hex:\n";
    RegistryStore store = LoadText(
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Zentrix]\r\n" +
        hexLines);
    ASSERT_FALSE(store.IsDamaged());
    store.SetDword(kUser, "Software\\Zentrix", "Added", 1);

    for (const char* opaque : {"Path", "Big", "Wrapped", "Empty"}) {
        EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", opaque), std::nullopt) << opaque;
        EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", opaque), std::nullopt) << opaque;
    }
    EXPECT_EQ(SaveTwiceAndCompare(store),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Zentrix]\n" +
                  hexLines + "\"Added\"=dword:00000001\n\n");
}

// The same arbitrary bytes on every run, so that a failure can be replayed.
std::string RandomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    std::mt19937 generator(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : bytes) {
        c = static_cast<char>(byte(generator));
    }
    return bytes;
}

TEST_F(RegistryTest, DamagedFilesGiveTheDefaultNumber) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string section = "[HKEY_CURRENT_USER\\Software\\Zentrix]\n";
    const std::string level = "\"Level\"=dword:00000001\n";
    const std::string randomBytes = RandomBytes(4096);
    std::u16string utf16(kRegeditExport);
    utf16 += u"[HKEY_CURRENT_USER\\Software\\Zentrix]\r\n\"Level\"=dword:00000001\r\n";
    const std::string truncatedUtf16 = Utf16LeWithBom(utf16).substr(0, 2 * utf16.size() + 1);

    const std::vector<std::pair<const char*, std::string>> cases = {
        {"wrong header", "Windows Registry Editor Version 4.00\n\n" + section + level},
        {"empty file", ""},
        {"UTF-16 cut in the middle of a code unit", truncatedUtf16},
        {"random bytes", randomBytes},
        {"value under a lone bracket", header + section + "[\n" + level},
        {"value under a section without its bracket",
         header + "[HKEY_CURRENT_USER\\Software\\Zentrix\n" + level},
        {"value line damaged", header + section + "\"Level\"=dword:0000001\n"},
        {"value line damaged after a good one",
         header + section + level + "\"Other\"=dword:00000002\n\"LEVEL\"=dword:1\n"},
        {"key's section damaged after a good one",
         header + section + level + "[hkey_current_user\\software\\zentrix] trailing\n"},
        {"deletion of an ancestor refused", header + section + level + "[-HKEY_CURRENT_USER]\n"},
        {"deletion of an ancestor damaged",
         header + section + level + "[-HKEY_CURRENT_USER\\Software\n"},
    };
    for (const auto& [what, bytes] : cases) {
        EXPECT_EQ(ReadNumberFrom(bytes, 7), 7u) << what;
        EXPECT_TRUE(LoadText(bytes).IsDamaged()) << what;
    }
}

TEST_F(RegistryTest, DamageElsewhereKeepsAWellFormedNumber) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string section = "[HKEY_CURRENT_USER\\Software\\Zentrix]\n";
    const std::string level = "\"Level\"=dword:0000000a\n";
    const std::string randomBytes = RandomBytes(4096);

    const std::vector<std::pair<const char*, std::string>> cases = {
        {"bad line in another key", header +
                                        "[HKEY_CURRENT_USER\\Software\\Other]\n"
                                        "\"Value\"=dword:zz\n" +
                                        section + level},
        {"bad line in the same key on another value",
         header + section + "\"Other\"=\"no end\n" + level + "\"After\"=dword:1\n"},
        {"garbage between keys", header +
                                     "[HKEY_CURRENT_USER\\Software\\Other]\n"
                                     "\"Value\"=dword:00000001\ngarbage\n\n" +
                                     section + level},
        {"random bytes after the header", header + randomBytes + "\n" + section + level},
        {"lone quote", header + section + "\"\n" + level},
        {"unterminated name", header + section + level + "\"Name=dword:00000001\n"},
        {"value before any section", header + level + section + level},
        {"unknown root", header + "[HKEY_NOWHERE\\Software]\n" + section + level},
        {"damaged section of another key",
         header + "[HKEY_CURRENT_USER\\Software\n" + section + level},
        {"damaged line for the value followed by a good one",
         header + section + "\"Level\"=dword:\n" + level},
        {"hex data cut off before the value", header + section + "\"B\"=hex:01,\\\n" + level},
        {"hex continuation running off the end", header + section + level + "\"B\"=hex:01,\\\n"},
    };
    for (const auto& [what, bytes] : cases) {
        EXPECT_EQ(ReadNumberFrom(bytes, 7), 10u) << what;
        EXPECT_TRUE(LoadText(bytes).IsDamaged()) << what;
    }
}

TEST_F(RegistryTest, LickometerFrequencyIsReadDespiteAStrayLine) {
    const std::string file =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Tamsel Information Technology\\Common\\Zentrix]\r\n"
        "\"LickometerFrequency\"=dword:0000000a\r\n"
        "\"Window\"=dword:12\r\n";
    const ScopedEnv env("ZENTRIX_REGISTRY", Write("stray.reg", file).c_str());

    EXPECT_EQ(ReadRegistryNumber(kUser, "Software\\Tamsel Information Technology\\Common\\Zentrix",
                                 "LickometerFrequency", 2),
              10u);
    EXPECT_EQ(ReadRegistryNumber(kUser, "Software\\Tamsel Information Technology\\Common\\Zentrix",
                                 "Window", 2),
              2u);
}

TEST_F(RegistryTest, MalformedLinesAreSkippedAndTheRestKept) {
    const RegistryStore store = LoadText(
        "Windows Registry Editor Version 5.00\n\n"
        "\"Orphan\"=dword:00000001\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"Before\"=dword:00000001\n"
        "\"Broken\"=\"no end\n"
        "garbage\n"
        "\"After\"=dword:00000002\n"
        "[HKEY_CURRENT_USER\\Software\\Other\n"
        "\"Lost\"=dword:00000003\n");

    EXPECT_TRUE(store.IsDamaged());
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Before"), 1u);
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "After"), 2u);
    EXPECT_EQ(store.GetString(kUser, "Software\\Zentrix", "Broken"), std::nullopt);
    EXPECT_FALSE(store.KeyExists(kUser, "Software\\Other"));
    EXPECT_EQ(store.GetDword(kUser, "Software\\Zentrix", "Lost"), std::nullopt);
}

// Builds a file from well-formed lines, near misses and token soup, then corrupts random bytes,
// to reach the parser's edge cases from many directions.
std::string RandomRegFile(std::mt19937& generator) {
    static const std::vector<std::string> names = {"Key",      "KEY",      "Sub",  "a]b",
                                                   " spaced ", "\xc3\xa9", "\\\\", "\\\"q\\\"",
                                                   "x\\y",     "",         "@",    "-"};
    static const std::vector<std::string> soup = {"[",
                                                  "]",
                                                  "\"",
                                                  "\\",
                                                  "=",
                                                  "@",
                                                  "-",
                                                  "\r",
                                                  " ",
                                                  ";",
                                                  ",",
                                                  "hex:",
                                                  "hex(2):",
                                                  "hex(1):",
                                                  "hex(",
                                                  "dword:",
                                                  "0000000a",
                                                  "ff",
                                                  "00,",
                                                  "41,00,",
                                                  "\\\n",
                                                  "\xFF",
                                                  "\xED\xA0\x80",
                                                  std::string(1, '\0'),
                                                  "[HKEY_CURRENT_USER",
                                                  "\"v\"=\"",
                                                  "\"v\"=hex:00,\\\n"};
    const auto pick = [&generator](const std::vector<std::string>& from) -> const std::string& {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(generator)];
    };
    std::string text = "Windows Registry Editor Version 5.00\n";
    for (int line = std::uniform_int_distribution<int>(0, 40)(generator); line > 0; --line) {
        const std::string& name = pick(names);
        switch (std::uniform_int_distribution<int>(0, 9)(generator)) {
            case 0:
                text += "[HKEY_CURRENT_USER\\" + name + "\\" + pick(names) + "]";
                break;
            case 1:
                text += "[-hkey_current_user\\" + name + "]";
                break;
            case 2:
                text += "\"" + name + "\"=\"" + pick(names) + "\"";
                break;
            case 3:
                text += "@=\"" + name + "\"";
                break;
            case 4:
                text += "\"" + name + "\"=dword:0000000a";
                break;
            case 5:
                text += "\"" + name + "\"=hex(1):41,00,0a,00,00,00";
                break;
            case 6:
                text += "\"" + name + "\"=hex(7):01,02,\\\n  03,\\\n  04";
                break;
            case 7:
                text += "\"" + name + "\"=-";
                break;
            default:
                for (int i = std::uniform_int_distribution<int>(1, 8)(generator); i > 0; --i) {
                    text += pick(soup);
                }
        }
        text += std::uniform_int_distribution<int>(0, 1)(generator) == 0 ? "\n" : "\r\n";
    }
    for (int flips = std::uniform_int_distribution<int>(0, 3)(generator); flips > 0; --flips) {
        text[std::uniform_int_distribution<std::size_t>(0, text.size() - 1)(generator)] =
            static_cast<char>(std::uniform_int_distribution<int>(0, 255)(generator));
    }
    return text;
}

// Whatever survives loading arbitrary input must save and reload to exactly the same file.
TEST_F(RegistryTest, ArbitraryInputLoadsAndRoundTripsStably) {
    std::mt19937 generator(7);
    for (int round = 0; round < 200; ++round) {
        const std::string utf8 = RandomRegFile(generator);
        std::u16string widened;
        for (const char c : utf8) {
            widened += static_cast<char16_t>(static_cast<unsigned char>(c));
        }
        std::string utf16 = Utf16LeWithBom(widened);
        if (round % 2 == 1) {
            utf16.pop_back();
        }
        for (const std::string& bytes : {utf8, utf16}) {
            SaveTwiceAndCompare(LoadText(bytes));
            if (HasFailure()) {
                FAIL() << "input: " << ::testing::PrintToString(bytes);
            }
        }
    }
}

TEST_F(RegistryTest, UnreadableOrOversizedFilesAreDamagedButMissingOnesAreNot) {
    const RegistryStore missing = RegistryStore::Load(Dir() / "missing.reg");
    EXPECT_FALSE(missing.IsDamaged());
    EXPECT_TRUE(missing.GetSubKeyNames(kUser, "").empty());

    EXPECT_TRUE(RegistryStore::Load(Dir()).IsDamaged());

    const fs::path huge = Write("huge.reg", "Windows Registry Editor Version 5.00\n");
    fs::resize_file(huge, RegistryStore::kMaxFileSize + 1);
    EXPECT_TRUE(RegistryStore::Load(huge).IsDamaged());
}

TEST_F(RegistryTest, ReadRegistryNumberFallsBackForMissingOrMistypedValues) {
    const std::string file =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"Level\"=dword:ffffffff\n"
        "\"Text\"=\"10\"\n"
        "\"Binary\"=hex(4):0a,00,00,00\n";
    const ScopedEnv env("ZENTRIX_REGISTRY", Write("store.reg", file).c_str());

    EXPECT_EQ(ReadRegistryNumber(kUser, "SOFTWARE\\zentrix", "LEVEL", 7), 0xFFFFFFFFu);
    EXPECT_EQ(ReadRegistryNumber(kUser, "Software\\Zentrix", "Text", 7), 7u);
    EXPECT_EQ(ReadRegistryNumber(kUser, "Software\\Zentrix", "Binary", 7), 7u);
    EXPECT_EQ(ReadRegistryNumber(kUser, "Software\\Zentrix", "Missing", 7), 7u);
    EXPECT_EQ(ReadRegistryNumber(kUser, "Software\\Missing", "Level", 7), 7u);
    EXPECT_EQ(ReadRegistryNumber(RegistryRoot::LocalMachine, "Software\\Zentrix", "Level", 7), 7u);

    const ScopedEnv missingFile("ZENTRIX_REGISTRY", (Dir() / "absent.reg").c_str());
    EXPECT_EQ(ReadRegistryNumber(kUser, "Software\\Zentrix", "Level", 7), 7u);
}

TEST_F(RegistryTest, DefaultPathPrefersOverrideThenXdgThenHome) {
    const ScopedEnv home("HOME", "/home/someone");
    {
        const ScopedEnv explicitPath("ZENTRIX_REGISTRY", "/etc/zentrix/custom.reg");
        const ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(RegistryStore::DefaultPath(), fs::path("/etc/zentrix/custom.reg"));
    }
    const ScopedEnv emptyOverride("ZENTRIX_REGISTRY", "");
    {
        const ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
        EXPECT_EQ(RegistryStore::DefaultPath(), fs::path("/xdg/zentrix/registry.reg"));
    }
    for (const std::optional<std::string>& unusableXdg :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("relative/config")}) {
        const ScopedEnv xdg("XDG_CONFIG_HOME", unusableXdg);
        EXPECT_EQ(RegistryStore::DefaultPath(),
                  fs::path("/home/someone/.config/zentrix/registry.reg"));
    }
}

TEST_F(RegistryTest, SaveCreatesDirectoriesAndReplacesTheFileInPlace) {
    const fs::path target = Dir() / "config" / "zentrix" / "registry.reg";
    RegistryStore store;
    store.SetDword(kUser, "Software\\Zentrix", "Level", 1);
    ASSERT_TRUE(store.Save(target));

    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    store.SetDword(kUser, "Software\\Zentrix", "Level", 2);
    ASSERT_TRUE(store.Save(target));

    EXPECT_EQ(RegistryStore::Load(target).GetDword(kUser, "Software\\Zentrix", "Level"), 2u);
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(DirectoryEntries(target.parent_path()), std::vector<std::string>{"registry.reg"});
}

TEST_F(RegistryTest, FailedSaveLeavesEverythingAsItWas) {
    RegistryStore store;
    store.SetDword(kUser, "Software\\Zentrix", "Level", 1);

    const fs::path directoryTarget = Dir() / "occupied" / "registry.reg";
    fs::create_directories(directoryTarget / "inside");
    EXPECT_FALSE(store.Save(directoryTarget));
    EXPECT_TRUE(fs::is_directory(directoryTarget / "inside"));
    EXPECT_EQ(DirectoryEntries(Dir() / "occupied"), std::vector<std::string>{"registry.reg"});

    const fs::path blocker = Write("blocker", "not a directory");
    EXPECT_FALSE(store.Save(blocker / "registry.reg"));
    EXPECT_EQ(ReadBytes(blocker), "not a directory");
}

TEST_F(RegistryTest, FailedSaveInReadOnlyDirectoryKeepsTheOldFile) {
    const fs::path directory = Dir() / "readonly";
    fs::create_directory(directory);
    const fs::path target = directory / "registry.reg";
    const std::string original = "Windows Registry Editor Version 5.00\n\n; original\n";
    Write("readonly/registry.reg", original);
    ASSERT_TRUE(GiveToOrdinaryUser(Dir()));
    ASSERT_TRUE(GiveToOrdinaryUser(directory));
    ASSERT_TRUE(GiveToOrdinaryUser(target));
    fs::permissions(target, fs::perms::owner_read);
    fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec);

    RegistryStore store;
    store.SetDword(kUser, "Software\\Zentrix", "Level", 1);
    const auto saved = RunAsUser([&] { return store.Save(target); });
    const std::vector<std::string> entries = DirectoryEntries(directory);
    fs::permissions(directory, fs::perms::owner_all);

    EXPECT_EQ(saved, false);
    EXPECT_EQ(ReadBytes(target), original);
    EXPECT_EQ(entries, std::vector<std::string>{"registry.reg"});
}

TEST_F(RegistryTest, ReadOnlyFileInWritableDirectoryIsNotReplaced) {
    const std::string original = "Windows Registry Editor Version 5.00\n\n; original\n";
    const fs::path target = Write("registry.reg", original);
    ASSERT_TRUE(GiveToOrdinaryUser(Dir()));
    ASSERT_TRUE(GiveToOrdinaryUser(target));
    fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    RegistryStore store;
    store.SetDword(kUser, "Software\\Zentrix", "Level", 1);
    EXPECT_EQ(RunAsUser([&] { return store.Save(target); }), false);

    EXPECT_EQ(ReadBytes(target), original);
    EXPECT_EQ(DirectoryEntries(Dir()), std::vector<std::string>{"registry.reg"});
}

TEST_F(RegistryTest, WritableFileInReadOnlyDirectoryIsWrittenInPlace) {
    const fs::path directory = Dir() / "readonly";
    fs::create_directory(directory);
    const fs::path target =
        Write("readonly/registry.reg", "Windows Registry Editor Version 5.00\n");
    ASSERT_TRUE(GiveToOrdinaryUser(Dir()));
    ASSERT_TRUE(GiveToOrdinaryUser(directory));
    ASSERT_TRUE(GiveToOrdinaryUser(target));
    fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec);

    RegistryStore store;
    store.SetDword(kUser, "Software\\Zentrix", "Level", 1);
    const auto saved = RunAsUser([&] { return store.Save(target); });
    const std::vector<std::string> entries = DirectoryEntries(directory);
    fs::permissions(directory, fs::perms::owner_all);

    EXPECT_EQ(saved, true);
    EXPECT_EQ(RegistryStore::Load(target).GetDword(kUser, "Software\\Zentrix", "Level"), 1u);
    EXPECT_EQ(entries, std::vector<std::string>{"registry.reg"});
}

TEST_F(RegistryTest, SaveThroughALinkWritesTheLinkedFileAndKeepsTheLink) {
    const fs::path real = Write("real.reg", "Windows Registry Editor Version 5.00\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
    const fs::path link = Dir() / "registry.reg";
    fs::create_symlink(real.filename(), link);

    RegistryStore store;
    store.SetDword(kUser, "Software\\Zentrix", "Level", 3);
    ASSERT_TRUE(store.Save(link));

    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(RegistryStore::Load(real).GetDword(kUser, "Software\\Zentrix", "Level"), 3u);
    EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(DirectoryEntries(Dir()), (std::vector<std::string>{"real.reg", "registry.reg"}));
}

TEST_F(RegistryTest, DeleteKeyTreeRemovesTheSubtreeButNotPrefixSiblings) {
    RegistryStore store;
    store.SetDword(kUser, "Software\\Key", "A", 1);
    store.SetDword(kUser, "Software\\Key\\Sub\\Deep", "B", 2);
    store.SetDword(kUser, "Software\\KeyTwo", "C", 3);
    store.SetDword(kUser, "Software\\Key Two", "D", 4);
    store.SetDword(RegistryRoot::LocalMachine, "Software\\Key", "E", 5);

    store.DeleteKeyTree(kUser, "software\\KEY\\");

    EXPECT_FALSE(store.KeyExists(kUser, "Software\\Key"));
    EXPECT_FALSE(store.KeyExists(kUser, "Software\\Key\\Sub\\Deep"));
    EXPECT_EQ(store.GetSubKeyNames(kUser, "Software"),
              (std::vector<std::string>{"Key Two", "KeyTwo"}));
    EXPECT_EQ(store.GetDword(kUser, "Software\\KeyTwo", "C"), 3u);
    EXPECT_EQ(store.GetDword(RegistryRoot::LocalMachine, "Software\\Key", "E"), 5u);

    store.CreateKey(kUser, "Software\\Key");
    EXPECT_EQ(store.GetDword(kUser, "Software\\Key", "A"), std::nullopt);
    EXPECT_TRUE(store.GetSubKeyNames(kUser, "Software\\Key").empty());

    store.DeleteValue(kUser, "Software\\KeyTwo", "c");
    EXPECT_EQ(store.GetDword(kUser, "Software\\KeyTwo", "C"), std::nullopt);
    EXPECT_TRUE(store.KeyExists(kUser, "Software\\KeyTwo"));
}

TEST_F(RegistryTest, NamesTheFileCannotHoldAreIgnored) {
    std::string deepest;
    for (std::size_t i = 0; i < RegistryStore::kMaxKeyDepth; ++i) {
        deepest += "k\\";
    }
    RegistryStore store;
    store.CreateKey(kUser, deepest);
    store.CreateKey(kUser, deepest + "tooDeep");
    store.SetString(kUser, "Software\\Line\nBreak", "Name", "x");
    store.SetDword(kUser, "Software\\Zentrix", "Line\nBreak", 1);

    EXPECT_TRUE(store.KeyExists(kUser, deepest));
    EXPECT_FALSE(store.KeyExists(kUser, deepest + "tooDeep"));
    EXPECT_EQ(store.GetSubKeyNames(kUser, "Software"), std::vector<std::string>{});
    SaveTwiceAndCompare(store);
}

}  // namespace
TEST_F(RegistryTest, DamagedLinesAreLoggedWithTheirLineNumbers) {
    const zentrix::testing::LogFile log("warning");
    const RegistryStore store = LoadText(
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\Zentrix]\n"
        "\"Fine\"=dword:00000001\n"
        "\"Short\"=dword:a\n"
        "[HKEY_CURRENT_USER\\Software\n");
    EXPECT_TRUE(store.IsDamaged());
    EXPECT_EQ(log.Lines({"zentrix: warning: registry: ", "load.reg: line 5: damaged"}).size(), 1u)
        << log.Text();
    EXPECT_EQ(log.Lines({"load.reg: line 6: damaged"}).size(), 1u) << log.Text();
    EXPECT_EQ(log.Lines({"line 4"}).size(), 0u) << log.Text();

    LoadText("REGEDIT5\n");
    EXPECT_EQ(log.Lines({"load.reg: not a registry file"}).size(), 1u) << log.Text();
}

}  // namespace zentrix
