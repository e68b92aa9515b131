#include "messages/FlatReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/foundation/Text.h"

namespace quill {

namespace {

// A sum of positions that leaves the Int32 range counts as out of bounds.
std::optional<int32_t> position(int64_t value) {
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(value);
}

}  // namespace

int FlatReader::propertyOffset(int32_t object, int index) const {
    if (index < 0) return 0;
    auto soffset = scalar<int32_t>(object);
    if (!soffset) return 0;
    auto vtable = position(static_cast<int64_t>(object) - *soffset);
    if (!vtable) return 0;
    auto vtableLength = scalar<int16_t>(*vtable);
    auto tableLength = scalar<int16_t>(static_cast<int64_t>(*vtable) + 2);
    if (!vtableLength || !tableLength) return 0;
    const int64_t place = 4 + 2 * static_cast<int64_t>(index);
    // A field that the writer's vtable does not cover is absent.
    if (*vtableLength <= place) return 0;
    auto entry = scalar<int16_t>(*vtable + place);
    if (!entry || *entry >= *tableLength) return 0;
    return *entry;
}

std::optional<int32_t> FlatReader::offset(int32_t object, int index) const {
    const int p = propertyOffset(object, index);
    if (p == 0) return std::nullopt;
    const int64_t slot = static_cast<int64_t>(object) + p;
    auto u = scalar<int32_t>(slot);
    if (!u || *u == 0) return std::nullopt;
    return position(slot + *u);
}

std::optional<FlatBytesView> FlatReader::stringBuffer(std::optional<int32_t> at) const {
    if (!at) return std::nullopt;
    auto length = scalar<int32_t>(*at);
    if (!length || *length < 0) return std::nullopt;
    return bytes(static_cast<int64_t>(*at) + 4, *length);
}

int FlatReader::vectorElementCount(std::optional<int32_t> at) const {
    if (!at) return 0;
    return scalar<int32_t>(*at).value_or(0);
}

int FlatReader::vectorElementCountInBuffer(std::optional<int32_t> at, int elementSize) const {
    const int stored = vectorElementCount(at);
    if (stored <= 0 || elementSize <= 0) return 0;
    const int64_t room = byteCount() - (static_cast<int64_t>(*at) + 4);
    if (room <= 0) return 0;
    return static_cast<int>(std::min<int64_t>(stored, room / elementSize));
}

std::optional<int32_t> FlatReader::vectorElementOffset(std::optional<int32_t> at, int index) const {
    if (!at || index < 0) return std::nullopt;
    auto count = scalar<int32_t>(*at);
    if (!count || index >= *count) return std::nullopt;
    const int64_t slot = static_cast<int64_t>(*at) + 4 + 4 * static_cast<int64_t>(index);
    auto u = scalar<int32_t>(slot);
    if (!u || *u == 0) return std::nullopt;
    return position(slot + *u);
}

// ---- memory ----

FlatMemoryReader::FlatMemoryReader(const uint8_t* buffer, size_t count,
                                   std::shared_ptr<FlatReaderCache> cache)
    : count_(static_cast<int64_t>(count)), cache_(std::move(cache)), buffer_(buffer) {}

FlatMemoryReader::FlatMemoryReader(const Bytes& data, bool withoutCopy,
                                   std::shared_ptr<FlatReaderCache> cache)
    : count_(static_cast<int64_t>(data.size())), cache_(std::move(cache)), buffer_(data.data()) {
    if (!withoutCopy) {
        originalBuffer_ = std::make_unique<uint8_t[]>(data.size());
        std::copy(data.begin(), data.end(), originalBuffer_.get());
        buffer_ = originalBuffer_.get();
    }
}

std::optional<FlatBytesView> FlatMemoryReader::bytes(int64_t at, int64_t length) const {
    if (at < 0 || length < 0 || at > count_ || length > count_ - at) return std::nullopt;
    if (length == 0) return FlatBytesView{};
    return FlatBytesView(buffer_ + at, static_cast<size_t>(length));
}

bool FlatMemoryReader::isEqual(const FlatReader& other) const {
    auto* memory = dynamic_cast<const FlatMemoryReader*>(&other);
    return memory != nullptr && memory->buffer_ == buffer_;
}

// ---- file ----

FlatFileReader::FlatFileReader(int fileDescriptor, std::shared_ptr<FlatReaderCache> cache)
    : fileSize_(0), fileHandle_(fileDescriptor), cache_(std::move(cache)) {
    const off_t end = ::lseek(fileDescriptor, 0, SEEK_END);
    if (end > 0) fileSize_ = static_cast<uint64_t>(end);
}

std::optional<FlatBytesView> FlatFileReader::bytes(int64_t at, int64_t length) const {
    if (at < 0 || length < 0 || static_cast<uint64_t>(at) > fileSize_ ||
        static_cast<uint64_t>(length) > fileSize_ - static_cast<uint64_t>(at))
        return std::nullopt;
    const DataCacheKey key{at, length};
    auto it = dataCache_.find(key);
    if (it == dataCache_.end()) {
        Bytes data(static_cast<size_t>(length));
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::pread(fileHandle_, data.data() + done, data.size() - done,
                                      static_cast<off_t>(at + static_cast<int64_t>(done)));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;  // a short read counts as out of bounds
            done += static_cast<size_t>(n);
        }
        it = dataCache_.emplace(key, std::move(data)).first;
    }
    return FlatBytesView(it->second.data(), it->second.size());
}

bool FlatFileReader::isEqual(const FlatReader& other) const {
    auto* file = dynamic_cast<const FlatFileReader*>(&other);
    return file != nullptr && file->fileHandle_ == fileHandle_;
}

// ---- text ----

std::optional<std::string> flatText(std::optional<FlatBytesView> bytes) {
    if (!bytes || !platform::foundation::isValidUtf8(*bytes)) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

}  // namespace quill
