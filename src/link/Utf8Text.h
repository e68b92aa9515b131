#pragma once
// Small UTF-8 helpers for texts that cross the wire: splitting into code points, counting UTF-16 units
// (the receiver's notion of a character) and repairing malformed input.

#include <string>
#include <string_view>
#include <vector>

namespace quill::utf8 {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// The code points of `text`. Every malformed or truncated sequence, overlong form, surrogate or value
// above U+10FFFF becomes one U+FFFD per offending byte, so the result always encodes back to valid UTF-8.
std::vector<char32_t> decode(std::string_view text);

void append(std::string& out, char32_t cp);
std::string encode(const std::vector<char32_t>& cps);

// `text` with every malformed sequence replaced by U+FFFD.
std::string sanitize(std::string_view text);

inline size_t utf16Length(char32_t cp) {
    return cp >= 0x10000 ? 2 : 1;
}
inline size_t utf8Length(char32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

}  // namespace quill::utf8
