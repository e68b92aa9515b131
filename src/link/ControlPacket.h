#pragma once
// The 16-byte packets of the receiver's control connection: their layout, the scrambling every packet
// goes through on the wire, and the two shapes this sender writes (requests and responses).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quill {

inline constexpr size_t kControlPacketSize = 16;
// Both sides XOR every packet with this key, repeated from the start every 13 bytes.
inline constexpr std::string_view kControlPacketKey = "Tuvbronex_pad";
// Byte 1 of every packet this sender writes.
inline constexpr uint8_t kControlProtocolByte = 4;

// Byte 2 of a packet.
enum ControlPacketKind : uint8_t {
    kControlKindRequest = 1,
    kControlKindResponse = 2,
    kControlKindCallback = 3,
};

// Scrambles or unscrambles (the same operation) a whole packet in place.
void encode(std::span<uint8_t, kControlPacketSize> packet);

struct ControlPacket {
    using Attach = std::array<uint8_t, 12>;       // the payload of a request, bytes 4-15
    using ResponseData = std::array<uint8_t, 8>;  // the data of a response, bytes 8-15

    std::array<uint8_t, kControlPacketSize> bytes{};

    ControlPacket() = default;
    explicit ControlPacket(std::span<const uint8_t, kControlPacketSize> b) {
        for (size_t i = 0; i < kControlPacketSize; ++i)
            bytes[i] = b[i];
    }

    // A request: address byte, protocol byte, kind 1, the code, then the 12 attach bytes.
    static ControlPacket request(uint8_t addressByte, int protocol, int requestCode,
                                 const Attach& attach = {});
    // The answer to `request`: address byte, 4, kind 2, the result, the request's bytes 1, 0 and 3, a zero,
    // then the 8 data bytes.
    static ControlPacket response(uint8_t addressByte, int result, const ControlPacket& request,
                                  const ResponseData& data = {});

    uint8_t operator[](size_t i) const { return bytes[i]; }
    uint8_t kind() const { return bytes[2]; }
    // Byte 3: the code of a request or callback, the result of a response.
    uint8_t code() const { return bytes[3]; }

    void encode() { quill::encode(bytes); }
    ControlPacket scrambled() const {
        ControlPacket p = *this;
        p.encode();
        return p;
    }

    bool operator==(const ControlPacket&) const = default;
};

}  // namespace quill
