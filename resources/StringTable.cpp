#include "resources/StringTable.h"

#include <utility>

#include "platform/StringResources.h"

namespace zentrix {
namespace {

constexpr std::pair<unsigned int, const char*> kStringTable[] = {
    {IDS_COLUMN_PORTS, "Ports"},
    {IDS_COLUMN_DEVICE_TYPE, "Device type"},
    {IDS_COLUMN_DEVICE_ID, "Device ID"},
    {IDS_ENTER_DEVICE_ID, "<Enter device ID>"},
    {IDS_DROP_LIST_BOX, "DropListBox"},
    {IDS_NO_DEVICE_CONNECTED, "<No device connected>"},
    {IDS_CHOICE_SEPARATOR, "\n"},
    {IDS_POSITION_INDENT, "    "},
    {IDS_DUPLICATE_DEVICE_ID,
     "IO Box %d Port \"%s\" \"%s\" has the same ID as\nPort \"%s\" \"%s\".\nThis is not allowed."},
    {IDS_MISSING_DEVICE_ID, "Port \"%s\" \"%s\" has no device ID.\nThis is not allowed."},
    {IDS_INTERFACE_PORT, "Interface Port"},
};

}  // namespace

std::string LoadStringResource(unsigned int id) {
    for (const auto& [entryId, text] : kStringTable) {
        if (entryId == id) {
            return text;
        }
    }
    return {};
}

}  // namespace zentrix
