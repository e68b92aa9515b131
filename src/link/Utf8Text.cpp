#include "link/Utf8Text.h"

#include <cstdint>
#include <span>

#include "platform/foundation/Text.h"

namespace quill::utf8 {

std::vector<char32_t> decode(std::string_view text) {
    std::vector<char32_t> out;
    out.reserve(text.size());
    auto bytes = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    while (!bytes.empty()) {
        const auto sequence = platform::foundation::decodeUtf8Sequence(bytes);
        out.push_back(sequence ? sequence->codePoint : kReplacementCharacter);
        bytes = bytes.subspan(sequence ? sequence->length : 1);
    }
    return out;
}

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string encode(const std::vector<char32_t>& cps) {
    std::string out;
    for (char32_t cp : cps)
        append(out, cp);
    return out;
}

std::string sanitize(std::string_view text) {
    return encode(decode(text));
}

}  // namespace quill::utf8
