#pragma once
// Writes one control message in the FlatBuffers binary layout: a root uoffset, tables described by
// vtables, length-prefixed strings and vectors, little-endian scalars.
//
// The builder writes back to front into one growable byte area, so every position it hands out is
// counted from the END of the buffer. Layout choices of our own: strings carry no terminating zero byte
// unless asked, a uoffset of 0 stands for an absent reference, vtables are never trimmed and a scalar
// field equal to its default is left out unless forced. The look-up server reads exactly these bytes.

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/foundation/Bytes.h"

namespace quill {

// The types stored inline in tables and vectors, each aligned to its own width.
template <class T>
concept Scalar = std::same_as<T, bool> || std::same_as<T, int8_t> || std::same_as<T, uint8_t> ||
    std::same_as<T, int16_t> || std::same_as<T, uint16_t> || std::same_as<T, int32_t> ||
    std::same_as<T, uint32_t> || std::same_as<T, int64_t> || std::same_as<T, uint64_t> ||
    std::same_as<T, float> || std::same_as<T, double>;

namespace flat {

// Stores a scalar little-endian at p (no alignment needed); bool as one byte 0 or 1.
template <Scalar T>
inline void storeScalar(uint8_t* p, T value) {
    if constexpr (std::same_as<T, bool>) {
        *p = value ? 1 : 0;
    } else {
        std::memcpy(p, &value, sizeof(T));
        if constexpr (std::endian::native == std::endian::big) std::reverse(p, p + sizeof(T));
    }
}

// Loads a little-endian scalar from p (no alignment needed); any non-zero byte reads as true.
template <Scalar T>
inline T loadScalar(const uint8_t* p) {
    if constexpr (std::same_as<T, bool>) {
        return *p != 0;
    } else {
        uint8_t raw[sizeof(T)];
        std::memcpy(raw, p, sizeof(T));
        if constexpr (std::endian::native == std::endian::big) std::reverse(raw, raw + sizeof(T));
        T value;
        std::memcpy(&value, raw, sizeof(T));
        return value;
    }
}

}  // namespace flat

struct FlatBuilderOptions {
    // Size in bytes of the first byte area (values below 1 count as 1).
    int initialCapacity = 1;
    // An equal string is written once and its offset reused.
    bool uniqueStrings = true;
    // A table object inserted more than once into one builder is written once (read by the table code).
    bool uniqueTables = true;
    // A vtable equal to one written earlier is shared instead of written again.
    bool uniqueVTables = true;
    // A scalar field equal to its default is still written.
    bool forceDefaults = false;
    // Every string is followed by one zero byte (not counted in its length).
    bool nullTerminatedUTF8 = false;

    bool operator==(const FlatBuilderOptions&) const = default;
};

// Misuse of the builder. The builder keeps what it wrote before the throw; callers give it up.
class FlatBuildError : public std::logic_error {
  public:
    enum class Code {
        objectIsNotClosed,
        noOpenObject,
        propertyIndexIsInvalid,
        offsetIsTooBig,
        cursorIsInvalid,
        badFileIdentifier,
        unsupportedType,
        couldNotPerformLateBinding,
    };

    explicit FlatBuildError(Code code) : std::logic_error(name(code)), code_(code) {}
    Code code() const { return code_; }
    bool operator==(const FlatBuildError& other) const { return code_ == other.code_; }
    static const char* name(Code code);

  private:
    Code code_;
};

// Identity of a table object inserted into a builder: its address and its type (a table's first
// member may share its parent's address, never its type).
using FlatObjectIdentity = std::pair<const void*, std::type_index>;

class FlatBuilder {
  public:
    explicit FlatBuilder(const FlatBuilderOptions& options = {});

    const FlatBuilderOptions& options() const { return options_; }
    void setOptions(const FlatBuilderOptions& options) { options_ = options; }

    // Offsets of table objects already written, by identity. Filled and read by the table code; the
    // objects must stay alive (and at their addresses) while the builder is in use.
    std::map<FlatObjectIdentity, int32_t>& cache() { return cache_; }
    std::set<FlatObjectIdentity>& inProgress() { return inProgress_; }
    std::vector<std::pair<FlatObjectIdentity, int>>& deferedBindings() { return deferedBindings_; }

    // Writes one scalar, aligned to its width.
    template <Scalar T>
    void insert(T value) {
        const int size = static_cast<int>(sizeof(T));
        minalign_ = std::max(minalign_, size);
        skip(-cursor_ & (size - 1));
        reserve(size);
        flat::storeScalar(area_.data() + (area_.size() - cursor_ - size), value);
        cursor_ += size;
    }

    // Writes a uoffset to `target` (0 or nothing: the absent reference 0). Returns the cursor.
    int insertOffset(std::optional<int32_t> target);

    // Writes a string (UTF-8 bytes, length first). Returns its offset, or 0 for nothing.
    int32_t insertString(std::optional<std::string_view> text);

    // Opens a vector of `count` elements of `elementSize` bytes; the caller then writes the elements
    // from the last to the first and calls endVector(), which returns the vector's offset.
    void startVector(int count, int elementSize);
    int32_t endVector();

    // Opens a table with `propertyCount` declared fields.
    void startObject(int propertyCount);
    // Writes scalar field `index`; returns the cursor, or nothing when the value equals its default and
    // defaults are not forced.
    template <Scalar T>
    std::optional<int> insert(T value, T defaultValue, int index) {
        checkProperty(index);
        if (value == defaultValue && !options_.forceDefaults) return std::nullopt;
        insert(value);
        currentVTable_[static_cast<size_t>(index)] = cursor_;
        return cursor_;
    }
    // Writes reference field `index` pointing at `target` (0 writes a 0 uoffset). Returns the cursor.
    int insertOffset(int32_t target, int index);
    // Makes the item written last field `index`. Returns the cursor.
    int insertCurrentOffsetAsProperty(int index);
    // Closes the open table: writes (or shares) its vtable and returns the table's offset.
    int32_t endObject();

    // Writes the root uoffset (and the 4-byte file identifier, when given) in front of everything.
    void finish(int32_t root, std::optional<std::string_view> fileIdentifier = std::nullopt);

    // A copy of the bytes written so far.
    Bytes makeData() const;

    // Rewrites the uoffset whose slot was written when the cursor became `cursor` to point at `target`.
    void update(int32_t target, int cursor);

  private:
    void reserve(int size);
    void skip(int pad);
    void checkProperty(int index) const;
    bool isOpen() const { return objectStart_ >= 0 || vectorNumElems_ >= 0; }
    uint8_t* at(int offset) { return area_.data() + (area_.size() - static_cast<size_t>(offset)); }

    FlatBuilderOptions options_;
    std::vector<uint8_t> area_;  // its size is the capacity; the written bytes are its last cursor_ bytes
    int minalign_ = 1;
    int cursor_ = 0;
    std::vector<int32_t> currentVTable_;
    int32_t objectStart_ = -1;
    int32_t vectorNumElems_ = -1;
    std::vector<int32_t> vTableOffsets_;
    std::map<FlatObjectIdentity, int32_t> cache_;
    std::set<FlatObjectIdentity> inProgress_;
    std::vector<std::pair<FlatObjectIdentity, int>> deferedBindings_;
    std::unordered_map<std::string, int32_t> stringCache_;
};

}  // namespace quill
