// The persistence classes of "HardwareSetup.xml", read and written as an XML archive of
// boost.serialization always by value, never through pointers, so that the archive never tracks
// them.
#ifndef ZENTRIX_SETUP_CONFIGFILE_H
#define ZENTRIX_SETUP_CONFIGFILE_H

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace boost::serialization {
class access;
}

// The kind of an IO box; the file is written with the one kind there is and never consulted.
enum TEHiIobIOBoxType : std::int32_t {
    eIOBoxTypeUnknown = -1,
    eIOBoxTypeIOWarrior = 0,
};

// One configured device: where it sits and what it is.
class TCHiIobConfigDataPortDevice {
public:
    TCHiIobConfigDataPortDevice() = default;
    TCHiIobConfigDataPortDevice(const TCHiIobConfigDataPortDevice&) = default;
    TCHiIobConfigDataPortDevice(TCHiIobConfigDataPortDevice&&) noexcept = default;
    TCHiIobConfigDataPortDevice& operator=(const TCHiIobConfigDataPortDevice&) = default;
    TCHiIobConfigDataPortDevice& operator=(TCHiIobConfigDataPortDevice&&) noexcept = default;
    virtual ~TCHiIobConfigDataPortDevice() = default;

    bool operator==(const TCHiIobConfigDataPortDevice&) const = default;

    std::int32_t m_iPortId = -1;
    // -1 when the device sits directly on the port.
    std::int32_t m_iConnectorPortId = -1;
    std::int32_t m_iDeviceTypeId = -1;
    std::int32_t m_iDeviceId = -1;
    std::string m_strDeviceName;

private:
    friend class boost::serialization::access;
    template <class Archive>
    void serialize(Archive& archive, unsigned int version);
};

// One IO box with the devices configured on it.
class TCHiIobConfigDataIOBox {
public:
    TCHiIobConfigDataIOBox() = default;
    TCHiIobConfigDataIOBox(const TCHiIobConfigDataIOBox&) = default;
    TCHiIobConfigDataIOBox(TCHiIobConfigDataIOBox&&) noexcept = default;
    TCHiIobConfigDataIOBox& operator=(const TCHiIobConfigDataIOBox&) = default;
    TCHiIobConfigDataIOBox& operator=(TCHiIobConfigDataIOBox&&) noexcept = default;
    virtual ~TCHiIobConfigDataIOBox() = default;

    bool operator==(const TCHiIobConfigDataIOBox&) const = default;

    std::int32_t m_iIOBoxId = -1;
    TEHiIobIOBoxType m_eIOBoxType = eIOBoxTypeUnknown;
    std::vector<TCHiIobConfigDataPortDevice> m_vecConfigDataPortDevice;

private:
    friend class boost::serialization::access;
    template <class Archive>
    void serialize(Archive& archive, unsigned int version);
};

// The root of the file: one entry per IO box.
class TCHiIobConfigData {
public:
    TCHiIobConfigData() = default;
    TCHiIobConfigData(const TCHiIobConfigData&) = default;
    TCHiIobConfigData(TCHiIobConfigData&&) noexcept = default;
    TCHiIobConfigData& operator=(const TCHiIobConfigData&) = default;
    TCHiIobConfigData& operator=(TCHiIobConfigData&&) noexcept = default;
    virtual ~TCHiIobConfigData() = default;

    bool operator==(const TCHiIobConfigData&) const = default;

    std::vector<TCHiIobConfigDataIOBox> m_vecConfigDataIOBox;

private:
    friend class boost::serialization::access;
    template <class Archive>
    void serialize(Archive& archive, unsigned int version);
};

// Why a read or write of the file did not complete, for the log.
struct ConfigFileProblem {
    // Reading only: nothing is at the path (no file, or a directory on the way is missing).
    bool missing = false;
    std::string reason;
};

// The root element of "HardwareSetup.xml".
inline constexpr const char* kHardwareSetupRootName = "HardwareSetup";

// The largest file that is read; what lies beyond counts as damage.
inline constexpr std::size_t kMaxConfigFileSize = std::size_t{16} << 20U;

// True when the whole archive was read; a file that can't be opened leaves config untouched, any
// other failure leaves in it only the IO-box entries read whole before the damage (none for another
// root name, a file that is no such archive or no regular file), and nothing is ever thrown.
// Opening never blocks (a FIFO is refused), at most kMaxConfigFileSize bytes are read (a longer
// file is read as if cut there, so it reads as false) and a UTF-8 byte-order mark is skipped.
// When false, problem (if given) says why.
bool ReadConfigFile(const std::string& path, const std::string& rootName, TCHiIobConfigData& config,
                    ConfigFileProblem* problem = nullptr);

// ReadConfigFile on a stream that is already open, so that the reader can be fed without a file;
// a UTF-8 byte-order mark at the start is skipped.
bool ReadConfigStream(std::istream& in, const std::string& rootName, TCHiIobConfigData& config);

// True when the file at path holds the archive of config, written the way WriteFileAtomically
// writes (a read-only file or a missing directory is refused); false, never a throw, keeps the old
// file, and problem (if given) says why.
bool WriteConfigFile(const std::string& path, const std::string& rootName,
                     const TCHiIobConfigData& config, ConfigFileProblem* problem = nullptr);

// True when the whole archive reached the stream; never throws.
bool WriteConfigStream(std::ostream& out, const std::string& rootName,
                       const TCHiIobConfigData& config);

#endif
