#include "platform/foundation/PropertyList.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <memory>

#include "platform/foundation/Clock.h"

namespace quill::platform::foundation {
namespace {

constexpr size_t kMaxFileSize = 64u << 20;
// Deeper nesting than any real settings file; guards the recursive conversion.
constexpr int kMaxDepth = 256;
// At most this many values are built from one binary property list.
constexpr uint64_t kMaxObjects = 1u << 20;

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// --- libplist nodes to values ---------------------------------------------------------------------

std::optional<PropertyList> fromNode(plist_t node, int depth) {
    if (!node || depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            PropertyList::Dictionary dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) return std::nullopt;
            bool ok = true;
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, it, &key, &value);
                if (!value) {
                    std::free(key);
                    break;
                }
                auto converted = fromNode(value, depth + 1);
                if (!converted || !key) {
                    std::free(key);
                    ok = false;
                    break;
                }
                dict.insert_or_assign(key, std::move(*converted));
                std::free(key);
            }
            std::free(it);
            if (!ok) return std::nullopt;
            return PropertyList(std::move(dict));
        }
        case PLIST_ARRAY: {
            PropertyList::Array array;
            uint32_t n = plist_array_get_size(node);
            array.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                auto converted = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!converted) return std::nullopt;
                array.push_back(std::move(*converted));
            }
            return PropertyList(std::move(array));
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            char* s = nullptr;
            if (plist_get_node_type(node) == PLIST_STRING) {
                plist_get_string_val(node, &s);
            } else {
                plist_get_key_val(node, &s);
            }
            std::string text = s ? s : "";
            std::free(s);
            return PropertyList(std::move(text));
        }
        case PLIST_UINT: {
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return PropertyList(static_cast<int64_t>(v));
        }
        case PLIST_UID: {
            uint64_t v = 0;
            plist_get_uid_val(node, &v);
            return PropertyList(static_cast<int64_t>(v));
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return PropertyList(v);
        }
        case PLIST_BOOLEAN: {
            uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return PropertyList(v != 0);
        }
        case PLIST_DATE: {
            int32_t sec = 0;
            int32_t usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return PropertyList(PlistDate{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            Bytes data(reinterpret_cast<uint8_t*>(bytes),
                       reinterpret_cast<uint8_t*>(bytes) + (bytes ? length : 0));
            std::free(bytes);
            return PropertyList(std::move(data));
        }
        default:
            return std::nullopt;
    }
}

// --- binary reader ---------------------------------------------------------------------------------
// The "bplist00" form is read here rather than by libplist, whose getters abort on strings with embedded
// zero bytes that a damaged file can hold. Every offset and count is checked against the input.

class BinaryReader {
  public:
    explicit BinaryReader(std::span<const uint8_t> bytes) : b_(bytes) {}

    std::optional<PropertyList> read() {
        if (b_.size() < 8 + 32 || std::memcmp(b_.data(), "bplist00", 8) != 0) return std::nullopt;
        const uint8_t* t = b_.data() + b_.size() - 32;
        offsetSize_ = t[6];
        refSize_ = t[7];
        objectCount_ = be(t + 8, 8);
        uint64_t top = be(t + 16, 8);
        tableOffset_ = be(t + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return std::nullopt;
        if (objectCount_ == 0 || top >= objectCount_) return std::nullopt;
        const uint64_t tableEnd = b_.size() - 32;
        if (tableOffset_ < 8 || tableOffset_ > tableEnd ||
            objectCount_ > (tableEnd - tableOffset_) / offsetSize_) {
            return std::nullopt;
        }
        visiting_.assign(objectCount_, false);
        return object(top, 0);
    }

  private:
    static uint64_t be(const uint8_t* p, size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v = (v << 8) | p[i];
        return v;
    }
    // n bytes at pos, when they lie before the offset table.
    const uint8_t* at(uint64_t pos, uint64_t n) const {
        if (pos < 8 || pos > tableOffset_ || n > tableOffset_ - pos) return nullptr;
        return b_.data() + pos;
    }

    // The length in a marker's low nibble, or the integer object after it when the nibble is 0xF.
    std::optional<uint64_t> length(uint8_t marker, uint64_t& pos) const {
        uint64_t n = marker & 0x0F;
        if (n != 0x0F) return n;
        const uint8_t* m = at(pos, 1);
        if (!m || (*m & 0xF0) != 0x10 || (*m & 0x0F) > 3) return std::nullopt;
        uint64_t size = uint64_t{1} << (*m & 0x0F);
        const uint8_t* p = at(pos + 1, size);
        if (!p) return std::nullopt;
        pos += 1 + size;
        return be(p, size);
    }

    std::optional<PropertyList> object(uint64_t index, int depth) {
        // Shared references may repeat one object many times over; the whole value stays bounded.
        if (index >= objectCount_ || depth > kMaxDepth || visiting_[index] || ++produced_ > kMaxObjects) {
            return std::nullopt;
        }
        uint64_t pos = be(b_.data() + tableOffset_ + index * offsetSize_, offsetSize_);
        const uint8_t* m = at(pos, 1);
        if (!m) return std::nullopt;
        const uint8_t marker = *m;
        ++pos;
        const uint8_t low = marker & 0x0F;
        switch (marker >> 4) {
            case 0x0:
                if (marker == 0x08 || marker == 0x09) return PropertyList(marker == 0x09);
                return std::nullopt;
            case 0x1: {
                if (low > 4) return std::nullopt;
                uint64_t size = uint64_t{1} << low;
                const uint8_t* p = at(pos, size);
                if (!p) return std::nullopt;
                // Sixteen-byte integers carry the value in their low eight bytes.
                return PropertyList(static_cast<int64_t>(size == 16 ? be(p + 8, 8) : be(p, size)));
            }
            case 0x2: {
                if (low != 2 && low != 3) return std::nullopt;
                const uint8_t* p = at(pos, uint64_t{1} << low);
                if (!p) return std::nullopt;
                return PropertyList(low == 2 ? toFloat(be(p, 4)) : toDouble(be(p, 8)));
            }
            case 0x3: {
                const uint8_t* p = marker == 0x33 ? at(pos, 8) : nullptr;
                if (!p) return std::nullopt;
                return PropertyList(PlistDate{toDouble(be(p, 8))});
            }
            case 0x4:
            case 0x5: {
                auto n = length(marker, pos);
                const uint8_t* p = n ? at(pos, *n) : nullptr;
                if (!p) return std::nullopt;
                if ((marker >> 4) == 0x4) return PropertyList(Bytes(p, p + *n));
                return PropertyList(std::string(reinterpret_cast<const char*>(p), *n));
            }
            case 0x6: {
                auto n = length(marker, pos);
                const uint8_t* p = n && *n <= UINT64_MAX / 2 ? at(pos, *n * 2) : nullptr;
                if (!p) return std::nullopt;
                return utf16(p, *n);
            }
            case 0x8: {
                const uint8_t* p = at(pos, low + 1u);
                if (!p || low > 7) return std::nullopt;
                return PropertyList(static_cast<int64_t>(be(p, low + 1u)));
            }
            case 0xA:
            case 0xD: {
                const bool isDict = (marker >> 4) == 0xD;
                auto n = length(marker, pos);
                if (!n || *n > tableOffset_) return std::nullopt;
                const uint64_t refs = isDict ? *n * 2 : *n;
                const uint8_t* p = at(pos, refs * refSize_);
                if (!p) return std::nullopt;
                visiting_[index] = true;
                std::optional<PropertyList> result = isDict ? dictionary(p, *n, depth) : array(p, *n, depth);
                visiting_[index] = false;
                return result;
            }
            default:
                return std::nullopt;
        }
    }

    std::optional<PropertyList> array(const uint8_t* refs, uint64_t n, int depth) {
        PropertyList::Array items;
        for (uint64_t i = 0; i < n; ++i) {
            auto item = object(be(refs + i * refSize_, refSize_), depth + 1);
            if (!item) return std::nullopt;
            items.push_back(std::move(*item));
        }
        return PropertyList(std::move(items));
    }

    std::optional<PropertyList> dictionary(const uint8_t* refs, uint64_t n, int depth) {
        PropertyList::Dictionary dict;
        for (uint64_t i = 0; i < n; ++i) {
            auto key = object(be(refs + i * refSize_, refSize_), depth + 1);
            auto value = object(be(refs + (n + i) * refSize_, refSize_), depth + 1);
            if (!key || !key->string() || !value) return std::nullopt;
            dict.insert_or_assign(*key->string(), std::move(*value));
        }
        return PropertyList(std::move(dict));
    }

    static double toDouble(uint64_t bits) {
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    static double toFloat(uint64_t bits) {
        uint32_t b32 = static_cast<uint32_t>(bits);
        float f;
        std::memcpy(&f, &b32, sizeof f);
        return f;
    }

    // Big-endian UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
    static std::optional<PropertyList> utf16(const uint8_t* p, uint64_t units) {
        std::string out;
        for (uint64_t i = 0; i < units; ++i) {
            uint32_t c = static_cast<uint32_t>(be(p + 2 * i, 2));
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
                uint32_t d = static_cast<uint32_t>(be(p + 2 * (i + 1), 2));
                if (d >= 0xDC00 && d <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
                    ++i;
                }
            }
            if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (c >> 18));
                out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return PropertyList(std::move(out));
    }

    std::span<const uint8_t> b_;
    uint8_t offsetSize_ = 0;
    uint8_t refSize_ = 0;
    uint64_t objectCount_ = 0;
    uint64_t tableOffset_ = 0;
    std::vector<bool> visiting_;
    uint64_t produced_ = 0;
};

// --- values to libplist nodes (for the binary form) ------------------------------------------------

plist_t toNode(const PropertyList& value) {
    switch (value.type()) {
        case PropertyList::Type::Dictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : *value.dictionary())
                plist_dict_set_item(dict, key.c_str(), toNode(item));
            return dict;
        }
        case PropertyList::Type::Array: {
            plist_t array = plist_new_array();
            for (const auto& item : *value.array())
                plist_array_append_item(array, toNode(item));
            return array;
        }
        case PropertyList::Type::String:
            return plist_new_string(value.string()->c_str());
        case PropertyList::Type::Integer:
            return plist_new_uint(static_cast<uint64_t>(*value.integer()));
        case PropertyList::Type::Real:
            return plist_new_real(*value.real());
        case PropertyList::Type::Boolean:
            return plist_new_bool(*value.boolean() ? 1 : 0);
        case PropertyList::Type::Date: {
            double t = value.date()->secondsSinceReferenceDate;
            double whole = std::floor(t);
            return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>((t - whole) * 1e6));
        }
        case PropertyList::Type::Data: {
            const Bytes& d = *value.data();
            return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
        }
    }
    return plist_new_dict();
}

// --- XML writer ------------------------------------------------------------------------------------

void appendTabs(std::string& out, int n) {
    out.append(static_cast<size_t>(n), '\t');
}

void appendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
}

std::string realText(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "+infinity" : "-infinity";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string dateText(double secondsSinceReferenceDate) {
    double unixSeconds = std::floor(unixFromReferenceDate(secondsSinceReferenceDate));
    if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 1e15) unixSeconds = 0;
    time_t t = static_cast<time_t>(unixSeconds);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// Base64 lines, each indented like the <data> tag; an indentation counts eight columns towards the line
// length of 76, and at most eight tabs are written.
void appendData(std::string& out, const Bytes& data, int indent) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    indent = std::min(indent, 8);
    const size_t lineLength = static_cast<size_t>(76 - 8 * indent);
    std::string encoded;
    encoded.reserve((data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < data.size(); i += 3) {
        uint32_t chunk = static_cast<uint32_t>(data[i]) << 16;
        if (i + 1 < data.size()) chunk |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (i + 2 < data.size()) chunk |= data[i + 2];
        encoded += table[(chunk >> 18) & 63];
        encoded += table[(chunk >> 12) & 63];
        encoded += i + 1 < data.size() ? table[(chunk >> 6) & 63] : '=';
        encoded += i + 2 < data.size() ? table[chunk & 63] : '=';
    }
    for (size_t pos = 0; pos < encoded.size(); pos += lineLength) {
        appendTabs(out, indent);
        out.append(encoded, pos, lineLength);
        out += '\n';
    }
}

void appendValue(std::string& out, const PropertyList& value, int indent) {
    appendTabs(out, indent);
    switch (value.type()) {
        case PropertyList::Type::Dictionary: {
            const auto& dict = *value.dictionary();
            if (dict.empty()) {
                out += "<dict/>\n";
                return;
            }
            out += "<dict>\n";
            for (const auto& [key, item] : dict) {
                appendTabs(out, indent + 1);
                out += "<key>";
                appendEscaped(out, key);
                out += "</key>\n";
                appendValue(out, item, indent + 1);
            }
            appendTabs(out, indent);
            out += "</dict>\n";
            return;
        }
        case PropertyList::Type::Array: {
            const auto& array = *value.array();
            if (array.empty()) {
                out += "<array/>\n";
                return;
            }
            out += "<array>\n";
            for (const auto& item : array)
                appendValue(out, item, indent + 1);
            appendTabs(out, indent);
            out += "</array>\n";
            return;
        }
        case PropertyList::Type::String:
            out += "<string>";
            appendEscaped(out, *value.string());
            out += "</string>\n";
            return;
        case PropertyList::Type::Integer:
            out += "<integer>" + std::to_string(*value.integer()) + "</integer>\n";
            return;
        case PropertyList::Type::Real:
            out += "<real>" + realText(*value.real()) + "</real>\n";
            return;
        case PropertyList::Type::Boolean:
            out += *value.boolean() ? "<true/>\n" : "<false/>\n";
            return;
        case PropertyList::Type::Date:
            out += "<date>" + dateText(value.date()->secondsSinceReferenceDate) + "</date>\n";
            return;
        case PropertyList::Type::Data:
            out += "<data>\n";
            appendData(out, *value.data(), indent);
            appendTabs(out, indent);
            out += "</data>\n";
            return;
    }
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

const PropertyList* PropertyList::find(const std::string& key) const {
    const Dictionary* dict = dictionary();
    if (!dict) return nullptr;
    auto it = dict->find(key);
    return it == dict->end() ? nullptr : &it->second;
}

void PropertyList::set(const std::string& key, PropertyList value) {
    if (!dictionary()) value_ = Dictionary{};
    dictionary()->insert_or_assign(key, std::move(value));
}

std::optional<PropertyList> readPropertyList(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist", 6) == 0) return BinaryReader(bytes).read();
    // No XML document holds a zero byte; libplist would keep it inside a string and then abort on it.
    if (std::memchr(bytes.data(), 0, bytes.size()) != nullptr) return std::nullopt;
    plist_t root = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()), &root);
    PlistPtr owned(root);
    return fromNode(root, 0);
}

std::optional<PropertyList> readPropertyListFile(const std::string& path) {
    // Opening without blocking, then looking at what was opened: a FIFO or a device at the path would
    // otherwise block the open (or the reads) for ever. Only regular files are read.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    Bytes contents;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kMaxFileSize;
    while (ok) {
        uint8_t buf[8192];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        contents.insert(contents.end(), buf, buf + n);
        if (contents.size() > kMaxFileSize) ok = false;
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return readPropertyList(contents);
}

std::string xmlPropertyList(const PropertyList& plist) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    appendValue(out, plist, 0);
    out += "</plist>\n";
    return out;
}

Bytes binaryPropertyList(const PropertyList& plist) {
    PlistPtr root(toNode(plist));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &bin, &length);
    Bytes out(reinterpret_cast<uint8_t*>(bin), reinterpret_cast<uint8_t*>(bin) + (bin ? length : 0));
    plist_to_bin_free(bin);
    return out;
}

bool writePropertyListFile(const PropertyList& plist, const std::string& path, Error* error, mode_t mode) {
    namespace fs = std::filesystem;
    fs::path target(path);
    fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    // Appended piece by piece: the one-expression concatenation trips a false -Wrestrict in GCC 12.
    std::string name(".");
    name += target.filename().string();
    name += ".XXXXXX";
    std::string tmp = (folder / name).string();
    int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = posixError(errno, "Error in mkstemp() function");
        return false;
    }
    const std::string text = xmlPropertyList(plist);
    const char* failedCall = nullptr;
    if (!writeAll(fd, text)) {
        failedCall = "Error in write() function";
    } else if (::fchmod(fd, mode) != 0) {
        failedCall = "Error in fchmod() function";
    } else if (::fsync(fd) != 0) {
        failedCall = "Error in fsync() function";
    }
    int err = errno;
    if (::close(fd) != 0 && !failedCall) {
        failedCall = "Error in close() function";
        err = errno;
    }
    if (!failedCall && ::rename(tmp.c_str(), path.c_str()) != 0) {
        failedCall = "Error in rename() function";
        err = errno;
    }
    if (failedCall) {
        ::unlink(tmp.c_str());
        if (error) *error = posixError(err, failedCall);
        return false;
    }
    return true;
}

}  // namespace quill::platform::foundation
