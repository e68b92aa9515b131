#pragma once
// Property lists: a small value type (dictionary, array, string, integer, real, boolean, date, data),
// read from XML or binary files and bytes, and written as XML in the standard property-list layout (the
// XML declaration, the PropertyList-1.0 DOCTYPE, one tab per level), so that a file such as the saved
// sound devices always has the same bytes. Files are replaced atomically.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/foundation/Bytes.h"
#include "platform/foundation/Error.h"

namespace quill::platform::foundation {

// A point in time as seconds since 1 January 2001 00:00:00 UTC.
struct PlistDate {
    double secondsSinceReferenceDate = 0;
    bool operator==(const PlistDate&) const = default;
};

class PropertyList {
  public:
    enum class Type { Dictionary, Array, String, Integer, Real, Boolean, Date, Data };
    // Keys are kept sorted, the order in which dictionaries are written.
    using Dictionary = std::map<std::string, PropertyList>;
    using Array = std::vector<PropertyList>;

    // An empty dictionary.
    PropertyList() : value_(Dictionary{}) {}
    PropertyList(Dictionary d) : value_(std::move(d)) {}
    PropertyList(Array a) : value_(std::move(a)) {}
    PropertyList(std::string s) : value_(std::move(s)) {}
    PropertyList(const char* s) : value_(std::string(s)) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    PropertyList(T i) : value_(static_cast<int64_t>(i)) {}
    PropertyList(double r) : value_(r) {}
    PropertyList(bool b) : value_(b) {}
    PropertyList(PlistDate d) : value_(d) {}
    PropertyList(Bytes b) : value_(std::move(b)) {}

    Type type() const { return static_cast<Type>(value_.index()); }

    // The value when it is of that type, else null or nullopt.
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&value_); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&value_); }
    const Array* array() const { return std::get_if<Array>(&value_); }
    Array* array() { return std::get_if<Array>(&value_); }
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    std::optional<int64_t> integer() const { return get<int64_t>(); }
    std::optional<double> real() const { return get<double>(); }
    std::optional<bool> boolean() const { return get<bool>(); }
    std::optional<PlistDate> date() const { return get<PlistDate>(); }
    const Bytes* data() const { return std::get_if<Bytes>(&value_); }

    // Dictionary access: the value under key, null when this is no dictionary or the key is absent.
    const PropertyList* find(const std::string& key) const;
    // Stores value under key; a value that is not a dictionary becomes one first.
    void set(const std::string& key, PropertyList value);

    bool operator==(const PropertyList&) const = default;

  private:
    template <typename T>
    std::optional<T> get() const {
        if (const T* v = std::get_if<T>(&value_)) return *v;
        return std::nullopt;
    }
    // The order matches Type.
    std::variant<Dictionary, Array, std::string, int64_t, double, bool, PlistDate, Bytes> value_;
};

// Parses an XML or binary property list. Malformed, truncated or empty input gives nullopt.
std::optional<PropertyList> readPropertyList(std::span<const uint8_t> bytes);
// Reads and parses a property-list file; a missing or unreadable file, one over 64 MiB, or anything that
// is not a regular file (a FIFO, a device, a folder) gives nullopt, without blocking.
std::optional<PropertyList> readPropertyListFile(const std::string& path);

// The XML text of a property list: the XML declaration, the DOCTYPE line, <plist version="1.0">, the
// value with tab indentation, </plist> and a line feed.
std::string xmlPropertyList(const PropertyList& plist);
// The binary ("bplist00") form.
Bytes binaryPropertyList(const PropertyList& plist);

// Writes the XML form to path atomically: a temporary file in the same folder, flushed to disk, then
// renamed over path with the given mode. The folder must exist. On failure nothing at path changes.
bool writePropertyListFile(const PropertyList& plist, const std::string& path, Error* error = nullptr,
                           mode_t mode = 0644);

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::PlistDate;
using platform::foundation::PropertyList;
}  // namespace quill
