#pragma once
// The requests queued on a TcpSocket: read packets, write packets and the special marker that a later
// TLS upgrade queues in both directions.

#include <cstdint>
#include <memory>

#include "net/TcpSocketPreBuffer.h"
#include "net/TlsSettings.h"
#include "platform/foundation/Bytes.h"

namespace quill::net {

// Common base so that one queue can hold requests and markers. Code that takes a packet from a queue
// looks at its kind before using it as one (packetAs below).
class TcpPacket {
  public:
    enum class Kind { read, write, special };
    virtual ~TcpPacket() = default;
    Kind kind() const { return kind_; }

  protected:
    explicit TcpPacket(Kind kind) : kind_(kind) {}

  private:
    Kind kind_;
};

// The packet as a P when it is of P's kind, else null.
template <class P>
P* packetAs(const std::shared_ptr<TcpPacket>& packet) {
    if (!packet || packet->kind() != P::kKind) return nullptr;
    return static_cast<P*>(packet.get());
}

// A marker carrying the settings of a queued TLS upgrade.
class TcpSpecialPacket : public TcpPacket {
  public:
    static constexpr Kind kKind = Kind::special;
    explicit TcpSpecialPacket(TlsSettings settings) : TcpPacket(kKind), tlsSettings(std::move(settings)) {}
    TlsSettings tlsSettings;
};

class TcpReadPacket : public TcpPacket {
  public:
    static constexpr Kind kKind = Kind::read;
    // With a caller buffer the bytes go into it at startOffset; without, the packet owns a buffer of
    // readLength bytes.
    TcpReadPacket(std::shared_ptr<Bytes> buffer, size_t startOffset, size_t maxLength, double timeout,
                  size_t readLength, const Bytes* terminator, long tag);

    // Grows the buffer so that n more bytes fit after what was delivered.
    void ensureCapacityForAdditionalData(size_t n);
    // How much to read for an available-bytes or fixed-length read, given a hint of what is there.
    size_t readLengthForNonTerm(size_t hint) const;
    // How much to read for a terminator read; *shouldPreBuffer when the buffer lacks the room.
    size_t readLengthForTerm(size_t hint, bool* shouldPreBuffer) const;
    size_t optimalReadLength(size_t defaultValue, bool* shouldPreBuffer) const;
    // How many of the pre-buffer's bytes to take: up to and including the terminator when it is found
    // across the join of buffer and pre-buffer (*found = true), else as many as allowed.
    size_t readLengthForTerm(const TcpSocketPreBuffer& preBuffer, bool* found) const;
    // After n bytes were read straight into the buffer: the number of bytes beyond the terminator's end,
    // or -1 when the terminator is not there.
    long searchForTermAfterPreBuffering(size_t n) const;

    bool isFixedLength() const { return readLength > 0; }
    bool isTerminator() const { return !term.empty(); }
    size_t room() const { return buffer->size() - startOffset - bytesDone; }
    uint8_t* writePosition() { return buffer->data() + startOffset + bytesDone; }

    std::shared_ptr<Bytes> buffer;
    size_t startOffset = 0;
    size_t bytesDone = 0;
    size_t maxLength = 0;
    double timeout = -1;
    size_t readLength = 0;
    Bytes term;
    bool bufferOwner = false;
    size_t originalBufferLength = 0;
    long tag = 0;
};

class TcpWritePacket : public TcpPacket {
  public:
    static constexpr Kind kKind = Kind::write;
    TcpWritePacket(SharedBytes data, double t, long g)
        : TcpPacket(kKind), buffer(std::move(data)), timeout(t), tag(g) {}
    SharedBytes buffer;
    size_t bytesDone = 0;
    double timeout = -1;
    long tag = 0;
};

}  // namespace quill::net
