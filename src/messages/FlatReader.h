#pragma once
// Random access to a buffer in the builder's layout. Nothing is validated up front: every access checks
// its own bounds, and an access that fails reads as absent (nothing, 0 or the field's default), so a
// truncated or hostile buffer yields a message with fields missing, never an error or a crash.
//
// Positions handed between reader operations count from the START of the buffer.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <utility>

#include "messages/FlatBuilder.h"
#include "platform/foundation/Bytes.h"

namespace quill {

using FlatBytesView = std::span<const uint8_t>;

// The table objects already decoded from one buffer, by table position and type, so that a table
// referred to twice is decoded once. One cache serves one buffer.
class FlatReaderCache {
  public:
    // The object of type T stored at `position`, or null when there is none of that type.
    template <class T>
    std::shared_ptr<T> find(int32_t position) const {
        auto it = objectPool_.find(position);
        if (it == objectPool_.end() || it->second.first != std::type_index(typeid(T))) return nullptr;
        return std::static_pointer_cast<T>(it->second.second);
    }
    // Stores `object` at `position`, replacing whatever was stored there.
    template <class T>
    void store(int32_t position, std::shared_ptr<T> object) {
        objectPool_.insert_or_assign(position, Entry{std::type_index(typeid(T)), std::move(object)});
    }
    size_t size() const { return objectPool_.size(); }

  private:
    using Entry = std::pair<std::type_index, std::shared_ptr<void>>;
    std::unordered_map<int32_t, Entry> objectPool_;
};

// A byte source with the table, string and vector accesses written once for all sources.
class FlatReader {
  public:
    virtual ~FlatReader() = default;

    // The object pool shared by everything decoded from this buffer, or null.
    virtual FlatReaderCache* cache() const = 0;
    // The n bytes at `position`, or nothing when they are not all inside the buffer.
    virtual std::optional<FlatBytesView> bytes(int64_t position, int64_t length) const = 0;
    // Number of readable bytes.
    virtual int64_t byteCount() const = 0;
    // Whether both read the same bytes.
    virtual bool isEqual(const FlatReader& other) const = 0;

    // The scalar stored at `position`, or nothing when it lies outside the buffer.
    template <Scalar T>
    std::optional<T> scalar(int64_t position) const {
        auto b = bytes(position, static_cast<int64_t>(sizeof(T)));
        if (!b) return std::nullopt;
        return flat::loadScalar<T>(b->data());
    }

    // Position of the root table, or nothing when the buffer is shorter than 4 bytes.
    std::optional<int32_t> rootObjectOffset() const { return scalar<int32_t>(0); }

    // Position of what reference field `index` of the table at `object` points to, or nothing.
    std::optional<int32_t> offset(int32_t object, int index) const;

    // Scalar field `index` of the table at `object`, or `defaultValue` when absent or unreadable.
    template <Scalar T>
    T get(int32_t object, int index, T defaultValue) const {
        return get<T>(object, index).value_or(defaultValue);
    }
    // Scalar field `index` of the table at `object`, or nothing when absent or unreadable.
    template <Scalar T>
    std::optional<T> get(int32_t object, int index) const {
        const int p = propertyOffset(object, index);
        if (p == 0) return std::nullopt;
        return scalar<T>(static_cast<int64_t>(object) + p);
    }

    // The bytes of the string at `position`, without copying, or nothing.
    std::optional<FlatBytesView> stringBuffer(std::optional<int32_t> position) const;

    // The element count stored at vector `position` (0 when absent or unreadable).
    int vectorElementCount(std::optional<int32_t> position) const;
    // How many elements of `elementSize` bytes the vector at `position` can really hold: its stored
    // count, limited to what fits between the count and the end of the buffer; 0 when negative.
    int vectorElementCountInBuffer(std::optional<int32_t> position, int elementSize) const;
    // Position of what reference element `index` points to, or nothing.
    std::optional<int32_t> vectorElementOffset(std::optional<int32_t> position, int index) const;
    // Scalar element `index`, or nothing.
    template <Scalar T>
    std::optional<T> vectorElementScalar(std::optional<int32_t> position, int index) const {
        if (!position || index < 0) return std::nullopt;
        if (index >= scalar<int32_t>(*position).value_or(0)) return std::nullopt;
        return scalar<T>(static_cast<int64_t>(*position) + 4 +
                         static_cast<int64_t>(index) * static_cast<int64_t>(sizeof(T)));
    }

  protected:
    FlatReader() = default;
    FlatReader(const FlatReader&) = default;
    FlatReader& operator=(const FlatReader&) = default;

  private:
    // Distance of field `index` from the start of the table at `object`; 0 when absent.
    int propertyOffset(int32_t object, int index) const;
};

// A reader over bytes in memory: the caller's (kept alive and unchanged by the caller) or its own copy.
class FlatMemoryReader final : public FlatReader {
  public:
    FlatMemoryReader(const uint8_t* buffer, size_t count,
                     std::shared_ptr<FlatReaderCache> cache = std::make_shared<FlatReaderCache>());
    explicit FlatMemoryReader(const Bytes& data, bool withoutCopy = false,
                              std::shared_ptr<FlatReaderCache> cache = std::make_shared<FlatReaderCache>());
    FlatMemoryReader(const FlatMemoryReader&) = delete;
    FlatMemoryReader& operator=(const FlatMemoryReader&) = delete;

    FlatReaderCache* cache() const override { return cache_.get(); }
    std::optional<FlatBytesView> bytes(int64_t position, int64_t length) const override;
    int64_t byteCount() const override { return count_; }
    bool isEqual(const FlatReader& other) const override;
    const uint8_t* buffer() const { return buffer_; }

  private:
    int64_t count_;
    std::shared_ptr<FlatReaderCache> cache_;
    const uint8_t* buffer_;
    std::unique_ptr<uint8_t[]> originalBuffer_;
};

// A reader over an open file (the descriptor stays the caller's). Every range read is kept, keyed by
// position and length, until clearDataCache(); views it hands out stay valid until then.
class FlatFileReader final : public FlatReader {
  public:
    explicit FlatFileReader(int fileDescriptor,
                            std::shared_ptr<FlatReaderCache> cache = std::make_shared<FlatReaderCache>());
    FlatFileReader(const FlatFileReader&) = delete;
    FlatFileReader& operator=(const FlatFileReader&) = delete;

    FlatReaderCache* cache() const override { return cache_.get(); }
    std::optional<FlatBytesView> bytes(int64_t position, int64_t length) const override;
    int64_t byteCount() const override { return static_cast<int64_t>(fileSize_); }
    bool isEqual(const FlatReader& other) const override;
    void clearDataCache() { dataCache_.clear(); }
    uint64_t fileSize() const { return fileSize_; }

  private:
    struct DataCacheKey {
        int64_t offset;
        int64_t lenght;
        auto operator<=>(const DataCacheKey&) const = default;
    };
    uint64_t fileSize_;
    int fileHandle_;
    std::shared_ptr<FlatReaderCache> cache_;
    mutable std::map<DataCacheKey, Bytes> dataCache_;
};

// String bytes as text: nothing when absent or not valid UTF-8; an empty view gives an empty text.
std::optional<std::string> flatText(std::optional<FlatBytesView> bytes);

}  // namespace quill
