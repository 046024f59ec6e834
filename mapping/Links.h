// The editable picture of which device sits on which port of which IO box, as the mapping dialog
// shows and edits it. Built from the hardware setup and never changing it: rows hold their own
// ids and texts and point at the setup's ports and catalog entries without owning them. Built,
// edited and applied on the host's thread.
#ifndef ZENTRIX_MAPPING_LINKS_H
#define ZENTRIX_MAPPING_LINKS_H

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "model/ConnectorType.h"

class TCHiIobDeviceType;
class TCHiIobHardwareSetup;
class TCHiIobPort;

// One row: an empty port, a port with a device on it, a port with a connector, or one position
// of that connector (which then carries its connector data and may hold a device).
class TCHiIobPortLink {
public:
    TCHiIobPortLink() = default;
    virtual ~TCHiIobPortLink() = default;
    TCHiIobPortLink(const TCHiIobPortLink&) = delete;
    TCHiIobPortLink& operator=(const TCHiIobPortLink&) = delete;

    const TCHiIobConnectorType* m_pConnectorType = nullptr;
    std::unique_ptr<TCHiIobConnectorData> m_pConnectorData;
    const TCHiIobPort* m_pPort = nullptr;
    const TCHiIobDeviceType* m_pDeviceType = nullptr;
    // The device's name as the user types it; the dialog calls it the device ID.
    std::string m_strDeviceId;
    // The existing device the row was built from, -1 for none.
    std::int32_t m_iDeviceId = -1;
};

using TCHiIobPortLinkList = std::list<std::unique_ptr<TCHiIobPortLink>>;

class TCHiIobIOBoxLinks {
public:
    explicit TCHiIobIOBoxLinks(std::int32_t ioBoxId) : m_iIOBoxId(ioBoxId) {}
    virtual ~TCHiIobIOBoxLinks();
    TCHiIobIOBoxLinks(const TCHiIobIOBoxLinks&) = delete;
    TCHiIobIOBoxLinks& operator=(const TCHiIobIOBoxLinks&) = delete;

    std::int32_t m_iIOBoxId;
    // In display order.
    TCHiIobPortLinkList m_lstPortLinks;
};

using TCHiIobIOBoxLinksList = std::list<std::unique_ptr<TCHiIobIOBoxLinks>>;

class TCHiIobLinks {
public:
    // One entry per IO box of the setup in its box order; none when it has no box.
    explicit TCHiIobLinks(const TCHiIobHardwareSetup& setup);
    virtual ~TCHiIobLinks();
    TCHiIobLinks(const TCHiIobLinks&) = delete;
    TCHiIobLinks& operator=(const TCHiIobLinks&) = delete;

    TCHiIobIOBoxLinksList& GetIOBoxLinks() { return m_lstIOBoxLinks; }
    const TCHiIobIOBoxLinksList& GetIOBoxLinks() const { return m_lstIOBoxLinks; }
    // The first entry with that box id, or null.
    const TCHiIobIOBoxLinks* FindIOBoxLinks(std::int32_t ioBoxId) const;
    TCHiIobIOBoxLinks* FindIOBoxLinks(std::int32_t ioBoxId);

    // Device type name, else connector type name, else "<No device connected>".
    static std::string Describe(const TCHiIobPortLink& row);
    // False, with the duplicate-id message, when another row of any box holds exactly this text;
    // the message stays untouched otherwise.
    bool CheckUniqueDeviceId(const TCHiIobPortLink& row, const std::string& idText,
                             std::string& message) const;
    // Gives a row with a device type the first "<type> <n>" (n from 1 to 999) that no other row
    // holds; keeps its text when all are taken.
    void AssignDefaultDeviceId(TCHiIobPortLink& row) const;

private:
    TCHiIobIOBoxLinksList m_lstIOBoxLinks;
};

// The dialog's model: the links of the setup plus the lookups the table needs.
class TCHiIobPortMappings {
public:
    explicit TCHiIobPortMappings(const TCHiIobHardwareSetup& setup);
    virtual ~TCHiIobPortMappings();
    TCHiIobPortMappings(const TCHiIobPortMappings&) = delete;
    TCHiIobPortMappings& operator=(const TCHiIobPortMappings&) = delete;

    const TCHiIobIOBoxLinksList& GetIOBoxLinks() const { return m_pLinks->GetIOBoxLinks(); }
    const TCHiIobIOBoxLinks* FindIOBoxLinks(std::int32_t ioBoxId) const;
    TCHiIobIOBoxLinks* FindIOBoxLinks(std::int32_t ioBoxId);

    // -1 for a null entry.
    static int GetRowCount(const TCHiIobIOBoxLinks* entry);
    // Rows count from 1; null for a null entry or a number outside the rows.
    static const TCHiIobPortLink* GetRow(const TCHiIobIOBoxLinks* entry, int rowNumber);
    static TCHiIobPortLink* GetRow(TCHiIobIOBoxLinks* entry, int rowNumber);
    // The "Device type" column: the row's text and its choices, each followed by a line feed
    // except the last, "<No device connected>".
    void GetCellTexts(const TCHiIobPortLink& row, std::string& typeText,
                      std::string& choiceList) const;
    const TCHiIobDeviceType* FindDeviceType(const std::string& name) const;
    const TCHiIobConnectorType* FindConnectorType(const std::string& name) const;
    // Drops the position rows that follow a connector row; the row itself stays.
    static void RemovePositionRows(TCHiIobIOBoxLinks& entry, const TCHiIobPortLink& row);
    // Puts one empty position row per position of the row's connector right after it.
    static void InsertPositionRows(TCHiIobIOBoxLinks& entry, const TCHiIobPortLink& row);
    static std::string Describe(const TCHiIobPortLink& row) { return TCHiIobLinks::Describe(row); }
    bool CheckUniqueDeviceId(const TCHiIobPortLink& row, const std::string& idText,
                             std::string& message) const;
    // False, with the first failing row's message, when a row with a device type has no id text
    // or one that another row holds.
    bool ValidateIOBox(const TCHiIobIOBoxLinks& entry, std::string& message) const;
    void AssignDefaultDeviceId(TCHiIobPortLink& row) const;

private:
    const TCHiIobHardwareSetup& m_setup;
    std::unique_ptr<TCHiIobLinks> m_pLinks;
};

// Whether a row's id text counts as no id at all (empty or the "<Enter device ID>" placeholder).
bool IsMissingDeviceId(const std::string& idText);

#endif
