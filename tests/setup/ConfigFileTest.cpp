#include "setup/ConfigFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/archive/xml_oarchive.hpp>
#include <boost/serialization/nvp.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/vector.hpp>

#include "tests/support/BoundedChild.h"
#include "tests/support/RunAsUser.h"
#include "tests/support/TempDir.h"

namespace {

using zentrix::testing::GiveToOrdinaryUser;
using zentrix::testing::RunAsUser;
using zentrix::testing::RunInBoundedChild;
using zentrix::testing::TempDir;

const std::string kRoot = "HardwareSetup";

const std::string kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n"
    "<!DOCTYPE boost_serialization>\n"
    "<boost_serialization signature=\"serialization::archive\" version=\"18\">\n";

TCHiIobConfigDataPortDevice MakeDevice(std::int32_t portId, std::int32_t connectorPortId,
                                       std::int32_t deviceTypeId, std::int32_t deviceId,
                                       const std::string& name) {
    TCHiIobConfigDataPortDevice device;
    device.m_iPortId = portId;
    device.m_iConnectorPortId = connectorPortId;
    device.m_iDeviceTypeId = deviceTypeId;
    device.m_iDeviceId = deviceId;
    device.m_strDeviceName = name;
    return device;
}

TCHiIobConfigDataIOBox MakeBox(std::int32_t boxId,
                               const std::vector<TCHiIobConfigDataPortDevice>& devices = {}) {
    TCHiIobConfigDataIOBox box;
    box.m_iIOBoxId = boxId;
    box.m_eIOBoxType = eIOBoxTypeIOWarrior;
    box.m_vecConfigDataPortDevice = devices;
    return box;
}

TCHiIobConfigData MakeConfig(const std::vector<TCHiIobConfigDataIOBox>& boxes) {
    TCHiIobConfigData config;
    config.m_vecConfigDataIOBox = boxes;
    return config;
}

// Three boxes, the first without devices, so that the device class first occurs in a later box.
TCHiIobConfigData ThreeBoxConfig() {
    return MakeConfig({
        MakeBox(0),
        MakeBox(1, {MakeDevice(1, -1, 3, 0, "Lamp"), MakeDevice(14, 2, 9, 4, "Lever")}),
        MakeBox(-1, {MakeDevice(13, 1, 9, 7, "Button")}),
    });
}

std::string ToText(const TCHiIobConfigData& config, const std::string& rootName = kRoot) {
    std::ostringstream out;
    EXPECT_TRUE(WriteConfigStream(out, rootName, config));
    return out.str();
}

bool FromText(const std::string& text, TCHiIobConfigData& config) {
    std::istringstream in(text);
    return ReadConfigStream(in, kRoot, config);
}

std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> ListNames(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReplaceOnce(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The same shape as the persistence classes, serialized with nothing but the library's own
// std::vector support, as a file from another writer of the format would be.
struct PlainDevice {
    int port = -1;
    int connector = -1;
    int type = -1;
    int id = -1;
    std::string name;

    template <class Archive>
    void serialize(Archive& archive, unsigned int /*version*/) {
        archive& boost::serialization::make_nvp("m_iPortId", port);
        archive& boost::serialization::make_nvp("m_iConnectorPortId", connector);
        archive& boost::serialization::make_nvp("m_iDeviceTypeId", type);
        archive& boost::serialization::make_nvp("m_iDeviceId", id);
        archive& boost::serialization::make_nvp("m_strDeviceName", name);
    }
};

struct PlainBox {
    int id = -1;
    int kind = 0;
    std::vector<PlainDevice> devices;

    template <class Archive>
    void serialize(Archive& archive, unsigned int /*version*/) {
        archive& boost::serialization::make_nvp("m_iIOBoxId", id);
        archive& boost::serialization::make_nvp("m_eIOBoxType", kind);
        archive& boost::serialization::make_nvp("m_vecConfigDataPortDevice", devices);
    }
};

struct PlainConfig {
    std::vector<PlainBox> boxes;

    template <class Archive>
    void serialize(Archive& archive, unsigned int /*version*/) {
        archive& boost::serialization::make_nvp("m_vecConfigDataIOBox", boxes);
    }
};

std::string PlainLibraryText(const TCHiIobConfigData& config) {
    PlainConfig plain;
    for (const auto& box : config.m_vecConfigDataIOBox) {
        PlainBox& plainBox = plain.boxes.emplace_back();
        plainBox.id = box.m_iIOBoxId;
        plainBox.kind = box.m_eIOBoxType;
        for (const auto& device : box.m_vecConfigDataPortDevice) {
            plainBox.devices.push_back({device.m_iPortId, device.m_iConnectorPortId,
                                        device.m_iDeviceTypeId, device.m_iDeviceId,
                                        device.m_strDeviceName});
        }
    }
    std::ostringstream out;
    {
        boost::archive::xml_oarchive archive(out);
        const PlainConfig& root = plain;
        archive << boost::serialization::make_nvp(kRoot.c_str(), root);
    }
    return out.str();
}

TEST(ConfigFileFormat, OneBoxWithoutDevices) {
    EXPECT_EQ(ToText(MakeConfig({MakeBox(2)})),
              kHeader +
                  "<HardwareSetup class_id=\"0\" tracking_level=\"0\" version=\"0\">\n"
                  "\t<m_vecConfigDataIOBox class_id=\"1\" tracking_level=\"0\" version=\"0\">\n"
                  "\t\t<count>1</count>\n"
                  "\t\t<item_version>0</item_version>\n"
                  "\t\t<item class_id=\"2\" tracking_level=\"0\" version=\"0\">\n"
                  "\t\t\t<m_iIOBoxId>2</m_iIOBoxId>\n"
                  "\t\t\t<m_eIOBoxType>0</m_eIOBoxType>\n"
                  "\t\t\t<m_vecConfigDataPortDevice class_id=\"3\" tracking_level=\"0\" "
                  "version=\"0\">\n"
                  "\t\t\t\t<count>0</count>\n"
                  "\t\t\t\t<item_version>0</item_version>\n"
                  "\t\t\t</m_vecConfigDataPortDevice>\n"
                  "\t\t</item>\n"
                  "\t</m_vecConfigDataIOBox>\n"
                  "</HardwareSetup>\n"
                  "</boost_serialization>\n\n");
}

TEST(ConfigFileFormat, TwoDevicesBehindOneConnectorAndThePlaceholderBox) {
    const auto config = MakeConfig({
        MakeBox(2, {MakeDevice(5, 1, 7, 0, "Lever 1"), MakeDevice(5, 2, 7, 1, "Lever 2")}),
        MakeBox(-1),
    });
    EXPECT_EQ(ToText(config),
              kHeader +
                  "<HardwareSetup class_id=\"0\" tracking_level=\"0\" version=\"0\">\n"
                  "\t<m_vecConfigDataIOBox class_id=\"1\" tracking_level=\"0\" version=\"0\">\n"
                  "\t\t<count>2</count>\n"
                  "\t\t<item_version>0</item_version>\n"
                  "\t\t<item class_id=\"2\" tracking_level=\"0\" version=\"0\">\n"
                  "\t\t\t<m_iIOBoxId>2</m_iIOBoxId>\n"
                  "\t\t\t<m_eIOBoxType>0</m_eIOBoxType>\n"
                  "\t\t\t<m_vecConfigDataPortDevice class_id=\"3\" tracking_level=\"0\" "
                  "version=\"0\">\n"
                  "\t\t\t\t<count>2</count>\n"
                  "\t\t\t\t<item_version>0</item_version>\n"
                  "\t\t\t\t<item class_id=\"4\" tracking_level=\"0\" version=\"0\">\n"
                  "\t\t\t\t\t<m_iPortId>5</m_iPortId>\n"
                  "\t\t\t\t\t<m_iConnectorPortId>1</m_iConnectorPortId>\n"
                  "\t\t\t\t\t<m_iDeviceTypeId>7</m_iDeviceTypeId>\n"
                  "\t\t\t\t\t<m_iDeviceId>0</m_iDeviceId>\n"
                  "\t\t\t\t\t<m_strDeviceName>Lever 1</m_strDeviceName>\n"
                  "\t\t\t\t</item>\n"
                  "\t\t\t\t<item>\n"
                  "\t\t\t\t\t<m_iPortId>5</m_iPortId>\n"
                  "\t\t\t\t\t<m_iConnectorPortId>2</m_iConnectorPortId>\n"
                  "\t\t\t\t\t<m_iDeviceTypeId>7</m_iDeviceTypeId>\n"
                  "\t\t\t\t\t<m_iDeviceId>1</m_iDeviceId>\n"
                  "\t\t\t\t\t<m_strDeviceName>Lever 2</m_strDeviceName>\n"
                  "\t\t\t\t</item>\n"
                  "\t\t\t</m_vecConfigDataPortDevice>\n"
                  "\t\t</item>\n"
                  "\t\t<item>\n"
                  "\t\t\t<m_iIOBoxId>-1</m_iIOBoxId>\n"
                  "\t\t\t<m_eIOBoxType>0</m_eIOBoxType>\n"
                  "\t\t\t<m_vecConfigDataPortDevice>\n"
                  "\t\t\t\t<count>0</count>\n"
                  "\t\t\t\t<item_version>0</item_version>\n"
                  "\t\t\t</m_vecConfigDataPortDevice>\n"
                  "\t\t</item>\n"
                  "\t</m_vecConfigDataIOBox>\n"
                  "</HardwareSetup>\n"
                  "</boost_serialization>\n\n");
}

TEST(ConfigFileFormat, SameBytesAsTheLibrarysOwnVectorSerialization) {
    const auto config = ThreeBoxConfig();
    EXPECT_EQ(ToText(config), PlainLibraryText(config));
    EXPECT_EQ(ToText(TCHiIobConfigData()), PlainLibraryText(TCHiIobConfigData()));
}

TEST(ConfigFileFormat, EscapesMarkupInNames) {
    const std::string text =
        ToText(MakeConfig({MakeBox(1, {MakeDevice(1, -1, 2, 0, "a&b<c>d\"e'f")})}));
    EXPECT_NE(text.find("<m_strDeviceName>a&amp;b&lt;c&gt;d&quot;e&apos;f</m_strDeviceName>"),
              std::string::npos)
        << text;
}

TEST(ConfigFileRoundTrip, EveryFieldSurvivesAFile) {
    const TempDir dir;
    const auto path = (dir.Path() / "HardwareSetup.xml").string();
    const auto config = ThreeBoxConfig();
    ASSERT_TRUE(WriteConfigFile(path, kRoot, config));

    TCHiIobConfigData read;
    EXPECT_TRUE(ReadConfigFile(path, kRoot, read));
    EXPECT_EQ(read, config);
    ASSERT_EQ(read.m_vecConfigDataIOBox.size(), 3U);
    EXPECT_EQ(read.m_vecConfigDataIOBox[2].m_iIOBoxId, -1);
    EXPECT_EQ(ListNames(dir.Path()), std::vector<std::string>{"HardwareSetup.xml"});
}

TEST(ConfigFileRoundTrip, NamesWithMarkupAndUtf8SurviveUnchanged) {
    const std::vector<std::string> names = {
        "a&b<c>d\"e'f",
        "&amp; is not unescaped twice",
        "Pellet \xC3\xBC \xE2\x80\x94 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x90\x81",
        "  spaced  ",
        "",
    };
    TCHiIobConfigDataIOBox box = MakeBox(3);
    for (std::size_t i = 0; i < names.size(); ++i) {
        box.m_vecConfigDataPortDevice.push_back(MakeDevice(1, static_cast<std::int32_t>(i) + 1, 2,
                                                           static_cast<std::int32_t>(i), names[i]));
    }
    const auto config = MakeConfig({box});

    TCHiIobConfigData read;
    EXPECT_TRUE(FromText(ToText(config), read));
    EXPECT_EQ(read, config);
}

TEST(ConfigFileRoundTrip, ReadsTheLibrarysOwnVectorSerialization) {
    const auto config = ThreeBoxConfig();
    TCHiIobConfigData read;
    EXPECT_TRUE(FromText(PlainLibraryText(config), read));
    EXPECT_EQ(read, config);
}

TEST(ConfigFileRoundTrip, ReadsArchivesOfOldLibraryVersionsWithoutItemVersion) {
    const auto config = ThreeBoxConfig();
    std::string text = ReplaceOnce(PlainLibraryText(config), "version=\"18\">", "version=\"3\">");
    for (auto at = text.find("<item_version>"); at != std::string::npos;
         at = text.find("<item_version>")) {
        const auto lineStart = text.rfind('\n', at) + 1;
        text.erase(lineStart, text.find('\n', at) + 1 - lineStart);
    }

    TCHiIobConfigData read;
    EXPECT_TRUE(FromText(text, read)) << text;
    EXPECT_EQ(read, config);
}

TEST(ConfigFileRead, MissingFileLeavesTheConfigUntouched) {
    const TempDir dir;
    const auto config = ThreeBoxConfig();
    TCHiIobConfigData read = config;
    EXPECT_FALSE(ReadConfigFile((dir.Path() / "HardwareSetup.xml").string(), kRoot, read));
    EXPECT_EQ(read, config);
}

TEST(ConfigFileRead, AnotherRootNameReadsNothing) {
    const TempDir dir;
    for (const std::string rootName : {"OtherSetup", "HardwareSetupOld", "Hardware"}) {
        const auto path = dir.Write("HardwareSetup.xml", ToText(ThreeBoxConfig(), rootName));
        TCHiIobConfigData read = ThreeBoxConfig();
        EXPECT_FALSE(ReadConfigFile(path.string(), kRoot, read)) << rootName;
        EXPECT_TRUE(read.m_vecConfigDataIOBox.empty()) << rootName;
    }
}

TEST(ConfigFileRead, InputThatIsNoArchiveReadsNothing) {
    const std::string archive = ToText(ThreeBoxConfig());
    const std::vector<std::string> inputs = {
        "",
        "\n",
        "garbage",
        std::string("\0\xFF\xFE\x01<", 5),
        "<?xml version=\"1.0\"?><HardwareSetup></HardwareSetup>",
        "<html><body>HardwareSetup</body></html>",
        "22 serialization::archive 18 0 0 1 0 0 0 2 0",
        kHeader,
        kHeader + "</boost_serialization>\n",
        ReplaceOnce(archive, "signature=\"serialization::archive\"", "signature=\"other\""),
        ReplaceOnce(archive, "version=\"18\">", "version=\"99\">"),
        ReplaceOnce(archive, "<HardwareSetup class_id=\"0\" tracking_level=\"0\" version=\"0\">",
                    "<HardwareSetup class_id=\"0\" tracking_level=\"0\" version=\"1\">"),
        archive.substr(archive.find("<HardwareSetup")),
    };
    const TempDir dir;
    for (const auto& input : inputs) {
        const auto path = dir.Write("HardwareSetup.xml", input);
        TCHiIobConfigData read = ThreeBoxConfig();
        EXPECT_FALSE(ReadConfigFile(path.string(), kRoot, read)) << input;
        EXPECT_TRUE(read.m_vecConfigDataIOBox.empty()) << input;
    }

    TCHiIobConfigData read = ThreeBoxConfig();
    EXPECT_FALSE(ReadConfigFile(dir.Path().string(), kRoot, read));
    EXPECT_TRUE(read.m_vecConfigDataIOBox.empty());
}

TEST(ConfigFileRead, AByteOrderMarkedFileReadsLikeTheSameFileWithout) {
    const auto config = ThreeBoxConfig();
    const std::string marked = "\xEF\xBB\xBF" + ToText(config);
    const TempDir dir;
    const auto path = dir.Write("HardwareSetup.xml", marked);

    TCHiIobConfigData read;
    EXPECT_TRUE(ReadConfigFile(path.string(), kRoot, read));
    EXPECT_EQ(read, config);
    TCHiIobConfigData streamed;
    EXPECT_TRUE(FromText(marked, streamed));
    EXPECT_EQ(streamed, config);

    // Only the whole mark is skipped, and only once.
    for (const std::string& start :
         {std::string("\xEF\xBB"), std::string("\xEF\xBB\xBF\xEF\xBB\xBF"), std::string("\xEF")}) {
        TCHiIobConfigData damaged = config;
        EXPECT_FALSE(FromText(start + ToText(config), damaged));
        EXPECT_TRUE(damaged.m_vecConfigDataIOBox.empty());
    }
}

TEST(ConfigFileRead, OnlyARegularFileIsReadAndOpeningNeverBlocks) {
    const TempDir dir;
    const auto fifo = dir.Path() / "fifo.xml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto zeros = dir.Path() / "zeros.xml";
    std::filesystem::create_symlink("/dev/zero", zeros);
    for (const auto& path : {fifo, zeros, dir.Path()}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(RunInBoundedChild([&] {
                      TCHiIobConfigData read = ThreeBoxConfig();
                      ConfigFileProblem problem;
                      return !ReadConfigFile(path.string(), kRoot, read, &problem) &&
                             read.m_vecConfigDataIOBox.empty() &&
                             problem.reason == "not a regular file";
                  }),
                  true);
    }
}

TEST(ConfigFileRead, AFileBeyondTheLimitIsReadAsIfCutThere) {
    const TempDir dir;
    const auto config = ThreeBoxConfig();
    const std::string text = ToText(config);
    const auto path = dir.Path() / "HardwareSetup.xml";
    const auto padTo = [&](std::size_t size) {
        dir.Write("HardwareSetup.xml", text);
        std::filesystem::resize_file(path, size);
    };

    padTo(kMaxConfigFileSize);
    TCHiIobConfigData read;
    EXPECT_TRUE(ReadConfigFile(path.string(), kRoot, read));
    EXPECT_EQ(read, config);

    padTo(kMaxConfigFileSize + 1);
    EXPECT_FALSE(ReadConfigFile(path.string(), kRoot, read));
    EXPECT_EQ(read, config);

    // A name that runs past the limit cuts its box off; the box before it stays.
    auto longer = config;
    longer.m_vecConfigDataIOBox[1].m_vecConfigDataPortDevice[0].m_strDeviceName =
        std::string(kMaxConfigFileSize, 'n');
    dir.Write("HardwareSetup.xml", ToText(longer));
    EXPECT_FALSE(ReadConfigFile(path.string(), kRoot, read));
    ASSERT_EQ(read.m_vecConfigDataIOBox.size(), 1U);
    EXPECT_EQ(read.m_vecConfigDataIOBox[0], config.m_vecConfigDataIOBox[0]);
}

TEST(ConfigFileRead, AFailedReadSaysWhy) {
    const TempDir dir;
    const auto big = dir.Write("big.xml", ToText(ThreeBoxConfig()));
    std::filesystem::resize_file(big, kMaxConfigFileSize + 1);
    const auto plain = dir.Write("plain.xml", "previous");
    const std::string text = ToText(ThreeBoxConfig());
    const auto damaged = dir.Write(
        "damaged.xml", ReplaceOnce(text, "<m_iIOBoxId>1</m_iIOBoxId>", "<m_iIOBoxId>1</m_iBoxId>"));
    const auto cut = dir.Write("cut.xml", text.substr(0, text.size() / 2));
    const auto otherSignature = dir.Write(
        "signed.xml", ReplaceOnce(text, "\"serialization::archive\"", "\"other::archive\""));
    const auto unclosed = dir.Write(
        "unclosed.xml", ReplaceOnce(text, "</boost_serialization>", "</boost_serializatio>"));

    const std::vector<std::pair<std::filesystem::path, std::string>> cases = {
        {dir.Path() / "missing.xml", "not found"},
        {plain / "HardwareSetup.xml", "not found"},
        {dir.Path(), "not a regular file"},
        {big, "larger than 16777216 bytes"},
        {damaged, "XML start/end tag mismatch - m_iIOBoxId"},
        {unclosed, "the archive is not closed"},
        {cut, "malformed or cut short"},
        {plain, "malformed or cut short"},
        {otherSignature, "invalid signature"},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        TCHiIobConfigData read;
        ConfigFileProblem problem;
        EXPECT_FALSE(ReadConfigFile(path.string(), kRoot, read, &problem));
        EXPECT_EQ(problem.reason, reason);
        EXPECT_EQ(problem.missing, reason == "not found");
    }
}

TEST(ConfigFileRead, CutOffFileKeepsExactlyTheBoxesBeforeTheCut) {
    const auto config = ThreeBoxConfig();
    const std::string text = ToText(config);
    // A box is complete once the end tag of its item has been read.
    std::vector<std::size_t> boxEnds;
    for (auto at = text.find("\n\t\t</item>"); at != std::string::npos;
         at = text.find("\n\t\t</item>", at + 1)) {
        boxEnds.push_back(at + std::string("\n\t\t</item>").size());
    }
    ASSERT_EQ(boxEnds.size(), 3U);
    const std::string closing = "</boost_serialization>";
    const std::size_t complete = text.rfind(closing) + closing.size();

    const TempDir dir;
    for (std::size_t length = 0; length <= text.size(); ++length) {
        const auto path = dir.Write("HardwareSetup.xml", text.substr(0, length));
        TCHiIobConfigData read;
        const bool result = ReadConfigFile(path.string(), kRoot, read);
        EXPECT_EQ(result, length >= complete) << length;

        std::size_t expectedBoxes = 0;
        while (expectedBoxes < boxEnds.size() && boxEnds[expectedBoxes] <= length) {
            ++expectedBoxes;
        }
        ASSERT_EQ(read.m_vecConfigDataIOBox.size(), expectedBoxes) << length;
        for (std::size_t i = 0; i < expectedBoxes; ++i) {
            EXPECT_EQ(read.m_vecConfigDataIOBox[i], config.m_vecConfigDataIOBox[i]) << length;
        }
    }
}

TEST(ConfigFileRead, DamageInsideABoxDropsThatBoxWhole) {
    const auto config = ThreeBoxConfig();
    const std::string text = ToText(config);
    const std::vector<std::string> damaged = {
        ReplaceOnce(text, "<m_iDeviceId>4</m_iDeviceId>", "<m_iDeviceId>four</m_iDeviceId>"),
        ReplaceOnce(text, "<m_iDeviceId>4</m_iDeviceId>", "<m_iDeviceId>4</m_iDeviceNo>"),
        ReplaceOnce(text, "<m_iDeviceId>4</m_iDeviceId>", "<m_iDeviceId>99999999999</m_iDeviceId>"),
        ReplaceOnce(text, "Lever</m_strDeviceName>", "Lever &bogus;</m_strDeviceName>"),
        ReplaceOnce(text, "\t\t\t\t\t<m_iDeviceId>4</m_iDeviceId>\n", ""),
        ReplaceOnce(text, "<item class_id=\"4\" tracking_level=\"0\" version=\"0\">",
                    "<item class_id=\"4\" tracking_level=\"0\" version=\"3\">"),
        ReplaceOnce(text, "<m_iIOBoxId>1</m_iIOBoxId>", "<m_iIOBoxId>1<m_iIOBoxId>"),
        ReplaceOnce(text, "<m_iIOBoxId>1</m_iIOBoxId>",
                    "<m_iIOBoxId>1</m_iIOBoxId" + std::string(200, 'x') + ">"),
        ReplaceOnce(text, "<m_iDeviceId>4</m_iDeviceId>", "<m_iDeviceNo>4</m_iDeviceId>"),
        ReplaceOnce(text, "<item>", "<entry>"),
    };
    for (const auto& input : damaged) {
        TCHiIobConfigData read;
        EXPECT_FALSE(FromText(input, read)) << input;
        ASSERT_EQ(read.m_vecConfigDataIOBox.size(), 1U) << input;
        EXPECT_EQ(read.m_vecConfigDataIOBox[0], config.m_vecConfigDataIOBox[0]);
    }
}

TEST(ConfigFileRead, CountsThatDisagreeWithTheItemsFail) {
    const auto config = ThreeBoxConfig();
    const std::string text = ToText(config);
    for (const std::string count : {"18446744073709551615", "4", "2", "-1"}) {
        TCHiIobConfigData read;
        EXPECT_FALSE(
            FromText(ReplaceOnce(text, "<count>3</count>", "<count>" + count + "</count>"), read))
            << count;
        const std::size_t kept = count == "2" ? 2U : 3U;
        ASSERT_EQ(read.m_vecConfigDataIOBox.size(), kept) << count;
        for (std::size_t i = 0; i < kept; ++i) {
            EXPECT_EQ(read.m_vecConfigDataIOBox[i], config.m_vecConfigDataIOBox[i]);
        }
    }
}

TEST(ConfigFileRead, RootEndTagOfAnotherNameFailsButKeepsTheBoxes) {
    const auto config = ThreeBoxConfig();
    TCHiIobConfigData read;
    EXPECT_FALSE(FromText(ReplaceOnce(ToText(config), "</HardwareSetup>", "</OtherSetup>"), read));
    EXPECT_EQ(read, config);
}

TEST(ConfigFileWrite, ReplacesThePreviousFileAndKeepsItsPermissions) {
    const TempDir dir;
    const auto path = dir.Write("HardwareSetup.xml", "previous");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);

    const auto config = ThreeBoxConfig();
    ASSERT_TRUE(WriteConfigFile(path.string(), kRoot, config));
    EXPECT_EQ(ReadBytes(path), ToText(config));
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640U);
    EXPECT_EQ(ListNames(dir.Path()), std::vector<std::string>{"HardwareSetup.xml"});
}

TEST(ConfigFileWrite, ReplacesTheFileALinkPointsTo) {
    const TempDir dir;
    const auto target = dir.Write("real.xml", "previous");
    const auto link = dir.Path() / "HardwareSetup.xml";
    std::filesystem::create_symlink(target.filename(), link);

    const auto config = ThreeBoxConfig();
    ASSERT_TRUE(WriteConfigFile(link.string(), kRoot, config));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(target), ToText(config));
    EXPECT_EQ(ListNames(dir.Path()), (std::vector<std::string>{"HardwareSetup.xml", "real.xml"}));
}

TEST(ConfigFileWrite, ReadOnlyFileIsNotReplaced) {
    const TempDir dir;
    ASSERT_TRUE(GiveToOrdinaryUser(dir.Path()));
    const auto path = dir.Write("HardwareSetup.xml", "previous");
    ASSERT_TRUE(GiveToOrdinaryUser(path));
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);

    const auto config = ThreeBoxConfig();
    EXPECT_EQ(RunAsUser([&] { return WriteConfigFile(path.string(), kRoot, config); }), false);

    EXPECT_EQ(ReadBytes(path), "previous");
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0444U);
    EXPECT_EQ(ListNames(dir.Path()), std::vector<std::string>{"HardwareSetup.xml"});
}

TEST(ConfigFileWrite, WritableFileInReadOnlyDirectoryIsWrittenInPlace) {
    const TempDir dir;
    const auto path = dir.Write("HardwareSetup.xml", "previous");
    ASSERT_TRUE(GiveToOrdinaryUser(path));
    ASSERT_TRUE(GiveToOrdinaryUser(dir.Path()));
    ASSERT_EQ(chmod(dir.Path().c_str(), 0500), 0);

    const auto config = ThreeBoxConfig();
    const auto written = RunAsUser([&] { return WriteConfigFile(path.string(), kRoot, config); });
    ASSERT_EQ(chmod(dir.Path().c_str(), 0700), 0);

    EXPECT_EQ(written, true);
    EXPECT_EQ(ReadBytes(path), ToText(config));
    EXPECT_EQ(ListNames(dir.Path()), std::vector<std::string>{"HardwareSetup.xml"});
}

TEST(ConfigFileWrite, ALinkToAReadOnlyFileIsRefusedAndStaysALink) {
    const TempDir dir;
    ASSERT_TRUE(GiveToOrdinaryUser(dir.Path()));
    const auto target = dir.Write("real.xml", "previous");
    ASSERT_TRUE(GiveToOrdinaryUser(target));
    ASSERT_EQ(chmod(target.c_str(), 0444), 0);
    const auto link = dir.Path() / "HardwareSetup.xml";
    std::filesystem::create_symlink(target.filename(), link);

    const auto config = ThreeBoxConfig();
    EXPECT_EQ(RunAsUser([&] { return WriteConfigFile(link.string(), kRoot, config); }), false);

    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(target), "previous");
    EXPECT_EQ(ListNames(dir.Path()), (std::vector<std::string>{"HardwareSetup.xml", "real.xml"}));
}

TEST(ConfigFileWrite, FailedSaveLeavesThePreviousFileAndNoTemporaryFile) {
    const TempDir dir;
    const auto config = ThreeBoxConfig();

    const auto previous = dir.Write("HardwareSetup.xml", "previous content");
    EXPECT_FALSE(WriteConfigFile(previous.string(), "not a name", config));
    EXPECT_FALSE(WriteConfigFile(previous.string(), "", config));
    EXPECT_EQ(ReadBytes(previous), "previous content");
    EXPECT_EQ(ListNames(dir.Path()), std::vector<std::string>{"HardwareSetup.xml"});

    const auto directoryTarget = dir.Path() / "setup";
    std::filesystem::create_directories(directoryTarget / "HardwareSetup.xml");
    EXPECT_FALSE(WriteConfigFile((directoryTarget / "HardwareSetup.xml").string(), kRoot, config));
    EXPECT_TRUE(std::filesystem::is_directory(directoryTarget / "HardwareSetup.xml"));
    EXPECT_EQ(ListNames(directoryTarget), std::vector<std::string>{"HardwareSetup.xml"});

    EXPECT_FALSE(
        WriteConfigFile((dir.Path() / "missing" / "HardwareSetup.xml").string(), kRoot, config));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "missing"));

    EXPECT_FALSE(WriteConfigFile((previous / "HardwareSetup.xml").string(), kRoot, config));
    EXPECT_EQ(ReadBytes(previous), "previous content");
    EXPECT_EQ(ListNames(dir.Path()), (std::vector<std::string>{"HardwareSetup.xml", "setup"}));
}

TEST(ConfigFileWrite, AFailedWriteSaysWhy) {
    const TempDir dir;
    const auto plain = dir.Write("plain", "previous");
    std::filesystem::create_directories(dir.Path() / "occupied" / "HardwareSetup.xml");
    const auto config = ThreeBoxConfig();
    const std::vector<std::pair<std::filesystem::path, std::string>> cases = {
        {dir.Path() / "missing" / "HardwareSetup.xml", "No such file or directory"},
        {dir.Path() / "occupied" / "HardwareSetup.xml", "Is a directory"},
        {plain / "HardwareSetup.xml", "Not a directory"},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        ConfigFileProblem problem;
        EXPECT_FALSE(WriteConfigFile(path.string(), kRoot, config, &problem));
        EXPECT_EQ(problem.reason, reason);
    }
    ConfigFileProblem problem;
    EXPECT_FALSE(WriteConfigFile((dir.Path() / "x.xml").string(), "", config, &problem));
    EXPECT_EQ(problem.reason, "the archive could not be made");
    EXPECT_EQ(ReadBytes(plain), "previous");
}

}  // namespace
