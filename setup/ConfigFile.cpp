#include "setup/ConfigFile.h"

#include "platform/AtomicFile.h"
#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <istream>
#include <ostream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <utility>

#include <boost/archive/detail/archive_serializer_map.hpp>
#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_xml_grammar.hpp>
#include <boost/archive/impl/basic_xml_iarchive.ipp>
#include <boost/archive/impl/xml_iarchive_impl.ipp>
#include <boost/archive/xml_archive_exception.hpp>
#include <boost/archive/xml_iarchive.hpp>
#include <boost/archive/xml_oarchive.hpp>
#include <boost/serialization/collection_size_type.hpp>
#include <boost/serialization/item_version_type.hpp>
#include <boost/serialization/library_version_type.hpp>
#include <boost/serialization/nvp.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/throw_exception.hpp>
#include <boost/serialization/vector.hpp>

namespace {

// The library no longer rejects class versions newer than the program's, yet such an object may
// hold fields that this program would misread.
void RequireKnownVersion(const unsigned int version) {
    if (version > 0) {
        boost::serialization::throw_exception(boost::archive::archive_exception(
            boost::archive::archive_exception::unsupported_class_version));
    }
}

// Reads a vector the way the library writes it, but appends each item only once it was read
// whole, and never reserves the count the file claims, so that a damaged file leaves no
// half-filled item and a huge count allocates nothing.
template <class Archive, class Item>
void LoadCompleteItems(Archive& archive, std::vector<Item>& items) {
    boost::serialization::collection_size_type count(0);
    boost::serialization::item_version_type itemVersion(0);
    archive >> boost::serialization::make_nvp("count", count);
    if (boost::serialization::library_version_type(3) < archive.get_library_version()) {
        archive >> boost::serialization::make_nvp("item_version", itemVersion);
    }
    const std::size_t total = std::as_const(count);
    items.clear();
    for (std::size_t i = 0; i < total; ++i) {
        Item item;
        archive >> boost::serialization::make_nvp("item", item);
        const Item* const loadedAt = &item;
        items.push_back(std::move(item));
        archive.reset_object_address(&items.back(), loadedAt);
    }
}

template <class Archive, class Item>
void SerializeItems(Archive& archive, std::vector<Item>& items, const unsigned int version) {
    RequireKnownVersion(version);
    if constexpr (Archive::is_saving::value) {
        boost::serialization::save(archive, std::as_const(items), version);
    } else {
        LoadCompleteItems(archive, items);
    }
}

}  // namespace

// Argument-dependent lookup prefers these to the library's overload for every std::vector, so
// reading goes through LoadCompleteItems while writing stays exactly the library's.
template <class Archive>
static void serialize(Archive& archive, std::vector<TCHiIobConfigDataPortDevice>& items,
                      const unsigned int version) {
    SerializeItems(archive, items, version);
}

template <class Archive>
static void serialize(Archive& archive, std::vector<TCHiIobConfigDataIOBox>& items,
                      const unsigned int version) {
    SerializeItems(archive, items, version);
}

template <class Archive>
void TCHiIobConfigDataPortDevice::serialize(Archive& archive, const unsigned int version) {
    RequireKnownVersion(version);
    archive& BOOST_SERIALIZATION_NVP(m_iPortId);
    archive& BOOST_SERIALIZATION_NVP(m_iConnectorPortId);
    archive& BOOST_SERIALIZATION_NVP(m_iDeviceTypeId);
    archive& BOOST_SERIALIZATION_NVP(m_iDeviceId);
    archive& BOOST_SERIALIZATION_NVP(m_strDeviceName);
}

template <class Archive>
void TCHiIobConfigDataIOBox::serialize(Archive& archive, const unsigned int version) {
    RequireKnownVersion(version);
    archive& BOOST_SERIALIZATION_NVP(m_iIOBoxId);
    archive& BOOST_SERIALIZATION_NVP(m_eIOBoxType);
    archive& BOOST_SERIALIZATION_NVP(m_vecConfigDataPortDevice);
}

template <class Archive>
void TCHiIobConfigData::serialize(Archive& archive, const unsigned int version) {
    RequireKnownVersion(version);
    archive& BOOST_SERIALIZATION_NVP(m_vecConfigDataIOBox);
}

namespace {

// The library's XML input archive, with every element name checked: the library compares only
// end tags, and that comparison reads past the expected name when the file's name is longer.
class ConfigXmlIArchive : public boost::archive::xml_iarchive_impl<ConfigXmlIArchive> {
    friend class boost::archive::basic_xml_iarchive<ConfigXmlIArchive>;

public:
    // The header is read here rather than by the library so that the library's destructor does not
    // parse the closing element, which throws out of a destructor when the file is cut short.
    explicit ConfigXmlIArchive(std::istream& in)
        : xml_iarchive_impl<ConfigXmlIArchive>(in, boost::archive::no_header) {
        init();
        const boost::serialization::library_version_type fileVersion = get_library_version();
        if (boost::archive::BOOST_ARCHIVE_VERSION() < fileVersion) {
            boost::serialization::throw_exception(boost::archive::archive_exception(
                boost::archive::archive_exception::unsupported_version));
        }
    }

    // The closing element is required too, because a file cut right after the root is cut as well.
    bool LoadRoot(const std::string& rootName, TCHiIobConfigData& config) {
        *this >> boost::serialization::make_nvp(rootName.c_str(), config);
        return gimpl->windup(get_is()) && gimpl->rv.object_name == "boost_serialization";
    }

private:
    void load_start(const char* name) {
        if (name == nullptr) {
            return;
        }
        if (!gimpl->parse_start_tag(get_is())) {
            boost::serialization::throw_exception(boost::archive::archive_exception(
                boost::archive::archive_exception::input_stream_error));
        }
        RequireName(name);
    }

    void load_end(const char* name) {
        if (name == nullptr) {
            return;
        }
        if (!gimpl->parse_end_tag(get_is())) {
            boost::serialization::throw_exception(boost::archive::archive_exception(
                boost::archive::archive_exception::input_stream_error));
        }
        RequireName(name);
    }

    void RequireName(const char* name) const {
        if (gimpl->rv.object_name != name) {
            boost::serialization::throw_exception(boost::archive::xml_archive_exception(
                boost::archive::xml_archive_exception::xml_archive_tag_mismatch, name));
        }
    }
};

}  // namespace

template class boost::archive::basic_xml_iarchive<ConfigXmlIArchive>;
template class boost::archive::xml_iarchive_impl<ConfigXmlIArchive>;
template class boost::archive::detail::archive_serializer_map<ConfigXmlIArchive>;

namespace {

// A mark that some editors put first in a UTF-8 file; the archive begins after it.
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

void SetReason(ConfigFileProblem* problem, std::string reason) {
    if (problem != nullptr) {
        problem->reason = std::move(reason);
    }
}

bool SkipByteOrderMark(std::istream& in) {
    if (in.peek() != std::char_traits<char>::to_int_type(kUtf8ByteOrderMark[0])) {
        return true;
    }
    char mark[3] = {};
    in.read(mark, sizeof mark);
    return in.gcount() == sizeof mark && std::string_view(mark, sizeof mark) == kUtf8ByteOrderMark;
}

bool ReadArchive(std::istream& in, const std::string& rootName, TCHiIobConfigData& config,
                 ConfigFileProblem* problem) {
    // Whatever goes wrong inside the library (archive errors, allocation, stream errors) only
    // means that the file was not read whole.
    try {
        config.m_vecConfigDataIOBox.clear();
        if (!SkipByteOrderMark(in)) {
            SetReason(problem, "no archive");
            return false;
        }
        ConfigXmlIArchive archive(in);
        if (!archive.LoadRoot(rootName, config)) {
            SetReason(problem, "the archive is not closed");
            return false;
        }
        return true;
    } catch (const boost::archive::archive_exception& error) {
        // The library adds to a stream error whatever errno held, which says nothing of the file.
        SetReason(problem, error.code == boost::archive::archive_exception::input_stream_error
                               ? "malformed or cut short"
                               : error.what());
        return false;
    } catch (const std::exception& error) {
        SetReason(problem, error.what());
        return false;
    } catch (...) {
        SetReason(problem, "unknown failure");
        return false;
    }
}

enum class HeadRead { Whole, Cut, NotOpened, Failed };

// Reads the file's first kMaxConfigFileSize bytes, without ever blocking on a FIFO or taking a
// terminal, and from a regular file only, so that neither a pipe nor a device can stall the
// reader or fill the memory.
HeadRead ReadHead(const std::string& path, std::string& bytes, ConfigFileProblem* problem) {
    const zentrix::FileDescriptor file(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.Get() < 0) {
        const int error = errno;
        const bool missing = error == ENOENT || error == ENOTDIR;
        if (problem != nullptr) {
            problem->missing = missing;
        }
        SetReason(problem,
                  missing ? std::string("not found") : std::system_category().message(error));
        return HeadRead::NotOpened;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) {
        SetReason(problem, std::system_category().message(errno));
        return HeadRead::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        SetReason(problem, "not a regular file");
        return HeadRead::Failed;
    }
    // One byte more than the limit tells a file of exactly the limit from a longer one.
    const std::size_t wanted = kMaxConfigFileSize + 1;
    bytes.assign(
        std::min<std::size_t>(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)), wanted),
        '\0');
    std::size_t total = 0;
    while (total < wanted) {
        if (total == bytes.size()) {
            bytes.resize(std::min(wanted, std::max<std::size_t>(2 * total, 4096)));
        }
        const ssize_t count = ::read(file.Get(), bytes.data() + total, bytes.size() - total);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            SetReason(problem, std::system_category().message(errno));
            return HeadRead::Failed;
        }
        if (count == 0) {
            break;
        }
        total += static_cast<std::size_t>(count);
    }
    bytes.resize(std::min(total, kMaxConfigFileSize));
    return total > kMaxConfigFileSize ? HeadRead::Cut : HeadRead::Whole;
}

}  // namespace

bool ReadConfigStream(std::istream& in, const std::string& rootName, TCHiIobConfigData& config) {
    return ReadArchive(in, rootName, config, nullptr);
}

bool ReadConfigFile(const std::string& path, const std::string& rootName, TCHiIobConfigData& config,
                    ConfigFileProblem* problem) {
    try {
        std::string bytes;
        const HeadRead head = ReadHead(path, bytes, problem);
        if (head == HeadRead::NotOpened) {
            return false;
        }
        if (head == HeadRead::Failed) {
            config.m_vecConfigDataIOBox.clear();
            return false;
        }
        std::istringstream in(std::move(bytes));
        const bool whole = ReadArchive(in, rootName, config, problem);
        if (head == HeadRead::Cut) {
            SetReason(problem, "larger than " + std::to_string(kMaxConfigFileSize) + " bytes");
            return false;
        }
        return whole;
    } catch (...) {
        SetReason(problem, "out of memory");
        return false;
    }
}

bool WriteConfigStream(std::ostream& out, const std::string& rootName,
                       const TCHiIobConfigData& config) {
    // The library would write an empty name as a tag that is no XML and that nothing reads back.
    if (rootName.empty()) {
        return false;
    }
    try {
        {
            boost::archive::xml_oarchive archive(out);
            archive << boost::serialization::make_nvp(rootName.c_str(), config);
        }
        return out.good();
    } catch (...) {
        return false;
    }
}

bool WriteConfigFile(const std::string& path, const std::string& rootName,
                     const TCHiIobConfigData& config, ConfigFileProblem* problem) {
    try {
        // The archive is complete in memory before the disk is touched, so that an exception
        // while serializing costs nothing.
        std::ostringstream text;
        if (!WriteConfigStream(text, rootName, config)) {
            SetReason(problem, "the archive could not be made");
            return false;
        }
        std::error_code error;
        // Like a file created by any other program: readable by all, less what the umask takes.
        if (!zentrix::WriteFileAtomically(path, text.view(), 0666, error)) {
            SetReason(problem, error.message());
            return false;
        }
        return true;
    } catch (...) {
        SetReason(problem, "out of memory");
        return false;
    }
}
