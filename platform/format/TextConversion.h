// Conversions between narrow strings (UTF-8) and the UTF-16 names that cross the host interface,
// shared by the plug-in and the reference host so that both convert alike.
#ifndef ZENTRIX_PLATFORM_FORMAT_TEXTCONVERSION_H
#define ZENTRIX_PLATFORM_FORMAT_TEXTCONVERSION_H

#include <cstddef>
#include <string>
#include <string_view>

namespace zentrix {

constexpr bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool IsLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Malformed UTF-8 (bad lead bytes, truncated or overlong sequences, encoded surrogates, values
// above U+10FFFF) becomes U+FFFD, one replacement per maximal invalid subpart.
std::u16string Utf8ToUtf16(std::string_view text);

// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// Reads a null-terminated UTF-16 string; a null pointer reads as empty.
std::string Utf16ToUtf8(const char16_t* text);

// Writes text into a fixed name field of `capacity` units: at most capacity - 1 units and a
// terminator, never ending on the first half of a surrogate pair. Units after the terminator are
// left untouched. Returns the number of units written before the terminator.
std::size_t CopyToFixedName(std::string_view text, char16_t* field, std::size_t capacity);

template <std::size_t N>
std::size_t CopyToFixedName(std::string_view text, char16_t (&field)[N]) {
    return CopyToFixedName(text, field, N);
}

// Reads a fixed name field up to its terminator or its end, since a misbehaving writer may leave
// it unterminated.
template <std::size_t N>
std::string FixedNameToUtf8(const char16_t (&field)[N]) {
    std::size_t length = 0;
    while (length < N && field[length] != u'\0') {
        ++length;
    }
    return Utf16ToUtf8(std::u16string_view(field, length));
}

}  // namespace zentrix

#endif
