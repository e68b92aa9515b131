#include "media/MediaPacket.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace quill {

namespace {

void putHost32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
uint32_t getHost32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void putBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint32_t getBE32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

MediaPacket::MediaPacket(uint32_t kind, size_t wireHeader, size_t payloadSize) {
    if (payloadSize > std::numeric_limits<uint32_t>::max() - wireHeader) {
        throw std::length_error("media packet payload too large for its 32-bit length");
    }
    const size_t wireLen = wireHeader + payloadSize;
    size_ = kBlockHeaderSize + wireLen;
    block_ = std::make_unique<uint8_t[]>(size_);
    putHost32(block_.get(), kind);
    putHost32(block_.get() + 4, static_cast<uint32_t>(wireLen));
    // The wire packet's own length counts the bytes after its length field.
    putBE32(block_.get() + kBlockHeaderSize, static_cast<uint32_t>(wireLen - 4));
}

MediaPacket MediaPacket::video(uint32_t timestamp, size_t n) {
    MediaPacket p(kMediaKindVideo, kVideoWireHeaderSize, n);
    uint8_t* w = p.block_.get() + kBlockHeaderSize;
    for (int i = 0; i < 5; ++i)
        putBE32(w + 4 + 4 * i, 1);
    putBE32(w + 24, timestamp);
    return p;
}

MediaPacket MediaPacket::video(uint32_t timestamp, std::span<const uint8_t> nal) {
    MediaPacket p = video(timestamp, nal.size());
    if (!nal.empty()) std::memcpy(p.payload().data(), nal.data(), nal.size());
    return p;
}

MediaPacket MediaPacket::audio(uint32_t timestamp, size_t f) {
    MediaPacket p(kMediaKindAudio, kAudioWireHeaderSize, f);
    putBE32(p.block_.get() + kBlockHeaderSize + 4, timestamp);
    return p;
}

MediaPacket MediaPacket::audio(uint32_t timestamp, std::span<const uint8_t> frame) {
    MediaPacket p = audio(timestamp, frame.size());
    if (!frame.empty()) std::memcpy(p.payload().data(), frame.data(), frame.size());
    return p;
}

MediaPacket::MediaPacket(MediaPacket&& other) noexcept : block_(std::move(other.block_)), size_(other.size_) {
    other.size_ = 0;
}

MediaPacket& MediaPacket::operator=(MediaPacket&& other) noexcept {
    if (this != &other) {
        block_ = std::move(other.block_);
        size_ = other.size_;
        other.size_ = 0;
    }
    return *this;
}

uint32_t MediaPacket::kind() const {
    return empty() ? 0 : getHost32(block_.get());
}

uint32_t MediaPacket::wireLength() const {
    return empty() ? 0 : getHost32(block_.get() + 4);
}

size_t MediaPacket::wireHeaderSize() const {
    return kind() == kMediaKindVideo ? kVideoWireHeaderSize : kAudioWireHeaderSize;
}

uint32_t MediaPacket::timestamp() const {
    if (empty()) return 0;
    return getBE32(block_.get() + kBlockHeaderSize + wireHeaderSize() - 4);
}

std::span<const uint8_t> MediaPacket::wire() const {
    if (empty()) return {};
    return {block_.get() + kBlockHeaderSize, size_ - kBlockHeaderSize};
}

std::span<uint8_t> MediaPacket::payload() {
    if (empty()) return {};
    const size_t offset = kBlockHeaderSize + wireHeaderSize();
    return {block_.get() + offset, size_ - offset};
}

std::span<const uint8_t> MediaPacket::payload() const {
    return const_cast<MediaPacket*>(this)->payload();
}

uint32_t adjustedAudioTimeStamp(uint32_t captureStamp, uint64_t pendingBytes) {
    return captureStamp - static_cast<uint32_t>(pendingBytes * 26 / 418);
}

}  // namespace quill
