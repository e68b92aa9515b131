#pragma once
// The packets of the video and audio connections, each made inside one carrier block that the encoders
// hand upward and the send loop writes out:
//   carrier block: kind (u32, host order: 1 video, 2 audio), wire length L (u32, host order), L wire bytes
//   video wire:    n + 24, five words of 1, time stamp (all u32 big-endian), then the n-byte Annex-B unit
//   audio wire:    f + 4, time stamp (u32 big-endian), then the f-byte MP3 frame
// A MediaPacket owns its block and is move-only: whoever holds it (a queue, a stage) owns it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace quill {

enum MediaKind : uint32_t {
    kMediaKindVideo = 1,
    kMediaKindAudio = 2,
};

class MediaPacket {
  public:
    static constexpr size_t kBlockHeaderSize = 8;       // kind and wire length
    static constexpr size_t kVideoWireHeaderSize = 28;  // length, five 1s, time stamp
    static constexpr size_t kAudioWireHeaderSize = 8;   // length, time stamp

    // A video packet with room for an n-byte unit (zero-filled; write it through payload()).
    static MediaPacket video(uint32_t timestamp, size_t n);
    static MediaPacket video(uint32_t timestamp, std::span<const uint8_t> nal);
    // An audio packet with room for an f-byte frame (zero-filled; write it through payload()).
    static MediaPacket audio(uint32_t timestamp, size_t f);
    static MediaPacket audio(uint32_t timestamp, std::span<const uint8_t> frame);

    MediaPacket() = default;  // empty: holds no block
    MediaPacket(MediaPacket&& other) noexcept;
    MediaPacket& operator=(MediaPacket&& other) noexcept;
    MediaPacket(const MediaPacket&) = delete;
    MediaPacket& operator=(const MediaPacket&) = delete;
    ~MediaPacket() = default;

    bool empty() const { return block_ == nullptr; }
    // 0 for an empty packet.
    uint32_t kind() const;
    uint32_t wireLength() const;
    uint32_t timestamp() const;
    // The bytes written on the media connection.
    std::span<const uint8_t> wire() const;
    // The unit or frame inside the wire packet.
    std::span<uint8_t> payload();
    std::span<const uint8_t> payload() const;
    // The whole carrier block.
    std::span<const uint8_t> block() const { return {block_.get(), size_}; }

  private:
    MediaPacket(uint32_t kind, size_t wireHeader, size_t payloadSize);
    size_t wireHeaderSize() const;

    std::unique_ptr<uint8_t[]> block_;
    size_t size_ = 0;
};

// The time stamp of an MP3 frame cut while `pendingBytes` bytes (this frame included) were not yet
// sent, for a call captured at `captureStamp`: T - (P x 26) / 418 ms, in the 32-bit stamp space.
uint32_t adjustedAudioTimeStamp(uint32_t captureStamp, uint64_t pendingBytes);

// Receives the packets an encoder makes; ownership passes with the call.
class AVCallback {
  public:
    virtual ~AVCallback() = default;
    virtual void onOutputMediaData(MediaPacket packet) = 0;
};

}  // namespace quill
