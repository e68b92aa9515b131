#include "audio/TarStream.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace quill {
namespace {

constexpr size_t kBlock = 512;
constexpr size_t kNameSize = 100, kPrefixSize = 155;

// value in octal, zero-padded and NUL-terminated, filling a header field of `size` bytes.
void putOctal(uint8_t* field, size_t size, unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(size - 1), value);
    std::memcpy(field, text, size);  // the terminating NUL included
}

bool safeName(const std::string& name) {
    if (name.empty() || name.front() == '/') return false;
    size_t start = 0;
    while (true) {
        const size_t end = name.find('/', start);
        const std::string part = name.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// Splits a name into ustar's prefix and name fields at a '/'; false when it fits neither way.
bool splitName(const std::string& name, std::string* prefix, std::string* rest) {
    if (name.size() <= kNameSize) {
        *rest = name;
        return true;
    }
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        if (slash <= kPrefixSize && name.size() - slash - 1 <= kNameSize && slash + 1 < name.size()) {
            *prefix = name.substr(0, slash);
            *rest = name.substr(slash + 1);
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<Bytes> tarStream(const std::vector<TarEntry>& entries) {
    Bytes out;
    const auto now = static_cast<unsigned long long>(std::time(nullptr));
    for (const TarEntry& e : entries) {
        if (!safeName(e.name)) return std::nullopt;
        // A folder's name ends in '/' where there is room for it; its type alone marks it otherwise.
        std::string prefix, name;
        if (!(e.folder && splitName(e.name + "/", &prefix, &name)) && !splitName(e.name, &prefix, &name))
            return std::nullopt;
        const size_t size = e.folder ? 0 : e.contents.size();
        uint8_t h[kBlock] = {};
        std::memcpy(h, name.data(), name.size());
        putOctal(h + 100, 8, e.folder ? 0755 : 0644);
        putOctal(h + 108, 8, 0);  // user
        putOctal(h + 116, 8, 0);  // group
        putOctal(h + 124, 12, size);
        putOctal(h + 136, 12, now);
        h[156] = e.folder ? '5' : '0';
        std::memcpy(h + 257, "ustar", 6);
        std::memcpy(h + 263, "00", 2);
        std::memcpy(h + 265, "root", 4);
        std::memcpy(h + 297, "root", 4);
        std::memcpy(h + 345, prefix.data(), prefix.size());
        // The checksum counts its own field as blanks.
        std::memset(h + 148, ' ', 8);
        unsigned sum = 0;
        for (uint8_t b : h)
            sum += b;
        char text[8];
        std::snprintf(text, sizeof text, "%06o", sum);
        std::memcpy(h + 148, text, 7);  // six digits and a NUL; the blank after them stays
        out.insert(out.end(), h, h + kBlock);
        if (!e.folder) {
            out.insert(out.end(), e.contents.begin(), e.contents.end());
            out.resize(out.size() + (kBlock - size % kBlock) % kBlock, 0);
        }
    }
    out.resize(out.size() + 2 * kBlock, 0);
    return out;
}

}  // namespace quill
