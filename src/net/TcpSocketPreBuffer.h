#pragma once
// The staging buffer of the read path: bytes read from the wire that no read request has taken yet.
// Readable bytes lie between the read and the write position; writing happens at the write position.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quill::net {

class TcpSocketPreBuffer {
  public:
    explicit TcpSocketPreBuffer(size_t capacity) : block_(capacity) {}

    // Makes room for n bytes after the write position. Bytes already consumed make room first: the
    // readable ones move to the start (a buffer that is never quite drained, as TLS records leave it,
    // would otherwise grow for as long as bytes flow). Only then does the block grow, by the shortfall.
    void ensureCapacityForWrite(size_t n) {
        if (availableSpace() >= n) return;
        if (read_ > 0) {
            std::memmove(block_.data(), block_.data() + read_, write_ - read_);
            write_ -= read_;
            read_ = 0;
        }
        const size_t space = availableSpace();
        if (space < n) block_.resize(block_.size() + (n - space));
    }

    size_t availableBytes() const { return write_ - read_; }
    const uint8_t* readBuffer() const { return block_.data() + read_; }
    void getReadBuffer(const uint8_t** buffer, size_t* available) const {
        if (buffer) *buffer = readBuffer();
        if (available) *available = availableBytes();
    }
    // Consumes n readable bytes; once everything is consumed both positions return to the start.
    void didRead(size_t n) {
        read_ += n;
        if (read_ >= write_) read_ = write_ = 0;
    }

    size_t availableSpace() const { return block_.size() - write_; }
    uint8_t* writeBuffer() { return block_.data() + write_; }
    void getWriteBuffer(uint8_t** buffer, size_t* space) {
        if (buffer) *buffer = writeBuffer();
        if (space) *space = availableSpace();
    }
    void didWrite(size_t n) { write_ += n; }

    void reset() { read_ = write_ = 0; }
    size_t capacity() const { return block_.size(); }

  private:
    std::vector<uint8_t> block_;
    size_t read_ = 0;
    size_t write_ = 0;
};

}  // namespace quill::net
