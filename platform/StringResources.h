// The plug-in's own string table, looked up by resource id.
#ifndef ZENTRIX_PLATFORM_STRINGRESOURCES_H
#define ZENTRIX_PLATFORM_STRINGRESOURCES_H

#include <string>

namespace zentrix {

// The narrow text of the entry; an id without entry yields an empty string.
std::string LoadStringResource(unsigned int id);

}  // namespace zentrix

#endif
