#pragma once
// Small text checks that every layer shares, so that one rule holds everywhere: strict UTF-8 (for names
// taken from messages, archives and the receiver), decimal digits (pin codes) and dotted IPv4 addresses.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quill::platform::foundation {

// One UTF-8 sequence: its code point and its length in bytes (1 to 4).
struct Utf8Sequence {
    char32_t codePoint;
    size_t length;
};

// Decodes the sequence at the start of `bytes`. Nothing when `bytes` is empty or the sequence is
// malformed: a stray continuation byte, a lead byte that cannot start a sequence, a truncated sequence, an
// overlong form, a surrogate (U+D800 to U+DFFF) or a value above U+10FFFF.
std::optional<Utf8Sequence> decodeUtf8Sequence(std::span<const uint8_t> bytes);

// Whether all of `bytes` is well-formed UTF-8 by the rule above. An empty text is.
bool isValidUtf8(std::span<const uint8_t> bytes);
bool isValidUtf8(std::string_view text);

// Whether `text` is not empty and holds only the ASCII digits '0' to '9'.
bool isDecimalDigits(std::string_view text);

// The four octets of a dotted-decimal IPv4 address such as "192.168.1.20": exactly four decimal parts
// from 0 to 255 and nothing else. Empty parts, signs, blanks and leading zeros (which some parsers read
// as octal) give nothing.
std::optional<std::array<uint8_t, 4>> parseIPv4(const std::string& text);

}  // namespace quill::platform::foundation
