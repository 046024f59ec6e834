#include "platform/StringUtil.h"

#include <cstdarg>
#include <cstdio>

namespace zentrix {

std::string JoinPath(std::string_view directory, std::string_view file) {
    std::string path(directory);
    if (!path.empty() && path.back() != '/') {
        path.push_back('/');
    }
    path.append(file);
    return path;
}

void FormatString(std::string& target, const char* format, ...) {
    if (format == nullptr) {
        target.clear();
        return;
    }
    va_list args;
    va_start(args, format);
    va_list probe;
    va_copy(probe, args);
    const int length = std::vsnprintf(nullptr, 0, format, probe);
    va_end(probe);
    if (length < 0) {
        va_end(args);
        target.clear();
        return;
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.resize(static_cast<std::size_t>(length));
    target = std::move(text);
}

}  // namespace zentrix
