#include "setup/ConfigFile.h"

#include "platform/AtomicFile.h"

#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>
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

bool ReadConfigStream(std::istream& in, const std::string& rootName, TCHiIobConfigData& config) {
    // Whatever goes wrong inside the library (archive errors, allocation, stream errors) only
    // means that the file was not read whole.
    try {
        config.m_vecConfigDataIOBox.clear();
        ConfigXmlIArchive archive(in);
        return archive.LoadRoot(rootName, config);
    } catch (...) {
        return false;
    }
}

bool ReadConfigFile(const std::string& path, const std::string& rootName,
                    TCHiIobConfigData& config) {
    try {
        std::ifstream in(path);
        if (!in.good()) {
            return false;
        }
        return ReadConfigStream(in, rootName, config);
    } catch (...) {
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
                     const TCHiIobConfigData& config) {
    try {
        // The archive is complete in memory before the disk is touched, so that an exception
        // while serializing costs nothing.
        std::ostringstream text;
        if (!WriteConfigStream(text, rootName, config)) {
            return false;
        }
        // Like a file created by any other program: readable by all, less what the umask takes.
        return zentrix::WriteFileAtomically(path, text.view(), 0666);
    } catch (...) {
        return false;
    }
}
