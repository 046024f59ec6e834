// Path joining and printf-style formatting for the plug-in's narrow strings.
#ifndef ZENTRIX_PLATFORM_STRINGUTIL_H
#define ZENTRIX_PLATFORM_STRINGUTIL_H

#include <string>
#include <string_view>

namespace zentrix {

// The full path of `file` in `directory`; an empty directory leaves the file name as it is.
std::string JoinPath(std::string_view directory, std::string_view file);

// Replaces target with the formatted text, however long it is.
void FormatString(std::string& target, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace zentrix

#endif
