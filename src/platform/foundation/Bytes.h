#pragma once
// Byte strings and a growable buffer with cheap removal from the front.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quill::platform::foundation {

using Bytes = std::vector<uint8_t>;
// Immutable bytes shared between owners without copying.
using SharedBytes = std::shared_ptr<const Bytes>;

inline Bytes bytesOf(std::string_view s) {
    return Bytes(s.begin(), s.end());
}
inline std::string stringOf(std::span<const uint8_t> b) {
    return std::string(b.begin(), b.end());
}

// A FIFO byte buffer: append at the back, consume from the front. Consuming moves a read offset;
// the storage is compacted only when the consumed prefix dominates, so removal is amortised O(1).
class ByteBuffer {
  public:
    size_t size() const { return data_.size() - offset_; }
    bool empty() const { return size() == 0; }
    const uint8_t* data() const { return data_.data() + offset_; }
    std::span<const uint8_t> span() const { return {data(), size()}; }

    void append(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        data_.insert(data_.end(), b, b + n);
    }
    void append(std::span<const uint8_t> b) { append(b.data(), b.size()); }

    // Makes room for n more bytes at the back and returns where to write them; commit() what was used.
    uint8_t* prepare(size_t n) {
        compactIfWorthIt();
        committed_ = data_.size();
        data_.resize(committed_ + n);
        return data_.data() + committed_;
    }
    void commit(size_t used) { data_.resize(committed_ + used); }

    // Removes n bytes from the front (all of them when n exceeds the size).
    void consume(size_t n) {
        offset_ += std::min(n, size());
        if (offset_ == data_.size()) {
            data_.clear();
            offset_ = 0;
        }
    }
    Bytes take(size_t n) {
        n = std::min(n, size());
        Bytes out(data(), data() + n);
        consume(n);
        return out;
    }
    void clear() {
        data_.clear();
        offset_ = 0;
    }

  private:
    void compactIfWorthIt() {
        if (offset_ > 0 && offset_ >= data_.size() / 2) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(offset_));
            offset_ = 0;
        }
    }
    std::vector<uint8_t> data_;
    size_t offset_ = 0;
    size_t committed_ = 0;
};

}  // namespace quill::platform::foundation

namespace quill {
using platform::foundation::ByteBuffer;
using platform::foundation::Bytes;
using platform::foundation::SharedBytes;
}  // namespace quill
