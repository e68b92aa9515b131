#include "link/ControlPacket.h"

namespace quill {

void encode(std::span<uint8_t, kControlPacketSize> packet) {
    for (size_t i = 0; i < packet.size(); ++i) {
        packet[i] ^= static_cast<uint8_t>(kControlPacketKey[i % kControlPacketKey.size()]);
    }
}

ControlPacket ControlPacket::request(uint8_t addressByte, int protocol, int requestCode,
                                     const Attach& attach) {
    ControlPacket p;
    p.bytes[0] = addressByte;
    p.bytes[1] = static_cast<uint8_t>(protocol);
    p.bytes[2] = kControlKindRequest;
    p.bytes[3] = static_cast<uint8_t>(requestCode);
    for (size_t i = 0; i < attach.size(); ++i)
        p.bytes[4 + i] = attach[i];
    return p;
}

ControlPacket ControlPacket::response(uint8_t addressByte, int result, const ControlPacket& request,
                                      const ResponseData& data) {
    ControlPacket p;
    p.bytes[0] = addressByte;
    p.bytes[1] = kControlProtocolByte;
    p.bytes[2] = kControlKindResponse;
    p.bytes[3] = static_cast<uint8_t>(result);
    p.bytes[4] = request.bytes[1];
    p.bytes[5] = request.bytes[0];
    p.bytes[6] = request.bytes[3];
    p.bytes[7] = 0;
    for (size_t i = 0; i < data.size(); ++i)
        p.bytes[8 + i] = data[i];
    return p;
}

}  // namespace quill
