#include "platform/foundation/Text.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace quill::platform::foundation {

std::optional<Utf8Sequence> decodeUtf8Sequence(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    const uint8_t lead = bytes[0];
    if (lead < 0x80) return Utf8Sequence{lead, 1};
    size_t length;
    char32_t cp;
    char32_t smallest;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, smallest = 0x10000;
    } else {
        return std::nullopt;  // a continuation byte, an overlong two-byte lead, or beyond U+10FFFF
    }
    if (bytes.size() < length) return std::nullopt;
    for (size_t k = 1; k < length; ++k) {
        if ((bytes[k] & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (bytes[k] & 0x3F);
    }
    if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    return Utf8Sequence{cp, length};
}

bool isValidUtf8(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const auto sequence = decodeUtf8Sequence(bytes);
        if (!sequence) return false;
        bytes = bytes.subspan(sequence->length);
    }
    return true;
}

bool isValidUtf8(std::string_view text) {
    return isValidUtf8(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

bool isDecimalDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::array<uint8_t, 4>> parseIPv4(const std::string& text) {
    // inet_pton takes exactly the dotted-decimal form: four parts, no leading zeros, nothing around them.
    in_addr address{};
    if (text.find('\0') != std::string::npos) return std::nullopt;
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
    std::array<uint8_t, 4> octets{};
    std::memcpy(octets.data(), &address.s_addr, octets.size());  // network order: the first part first
    return octets;
}

}  // namespace quill::platform::foundation
