#pragma once
// Hex notation for expected message bytes in tests.

#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/foundation/Bytes.h"

namespace quill::testing {

// "0c 00 | 06 00" -> bytes; everything that is not a hex digit separates.
inline Bytes hexBytes(std::string_view text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        const int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

inline std::string hexString(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        if (i) out += ' ';
        out += buf;
    }
    return out;
}

}  // namespace quill::testing
