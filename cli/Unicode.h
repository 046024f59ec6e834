// UTF-8 and UTF-16 conversion for the text that crosses the plug-in boundary; malformed input
// becomes U+FFFD instead of failing, so no name the plug-in returns can stop the host.
#ifndef ZENTRIX_CLI_UNICODE_H
#define ZENTRIX_CLI_UNICODE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace zentrix::cli {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

namespace detail {

inline void AppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

inline void AppendUtf16(std::u16string& out, char32_t codePoint) {
    if (codePoint < 0x10000) {
        out.push_back(static_cast<char16_t>(codePoint));
    } else {
        const char32_t offset = codePoint - 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    }
}

// Decodes one code point at text[index] and advances index past it; every malformed sequence
// (stray continuation byte, truncation, overlong form, surrogate, beyond U+10FFFF) yields one
// replacement character and skips only its lead byte.
inline char32_t DecodeUtf8(std::string_view text, std::size_t& index) {
    const auto lead = static_cast<unsigned char>(text[index]);
    ++index;
    if (lead < 0x80) {
        return lead;
    }
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 1;
        codePoint = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 2;
        codePoint = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 3;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        return kReplacementCharacter;
    }
    if (index + length > text.size()) {
        return kReplacementCharacter;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[index + i]);
        if ((next & 0xC0) != 0x80) {
            return kReplacementCharacter;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return kReplacementCharacter;
    }
    index += length;
    return codePoint;
}

}  // namespace detail

inline std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t index = 0;
    while (index < text.size()) {
        detail::AppendUtf16(out, detail::DecodeUtf8(text, index));
    }
    return out;
}

inline std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            detail::AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            detail::AppendUtf8(out, kReplacementCharacter);
        } else {
            detail::AppendUtf8(out, unit);
        }
    }
    return out;
}

// Converts a fixed-size name field, which need not be null-terminated when the plug-in misbehaves.
template <std::size_t Capacity>
std::string NameToUtf8(const char16_t (&name)[Capacity]) {
    std::size_t length = 0;
    while (length < Capacity && name[length] != 0) {
        ++length;
    }
    return Utf16ToUtf8(std::u16string_view(name, length));
}

}  // namespace zentrix::cli

#endif
