#include "net/TcpPackets.h"

#include <algorithm>
#include <cstring>

namespace quill::net {

TcpReadPacket::TcpReadPacket(std::shared_ptr<Bytes> buf, size_t offset, size_t max, double t, size_t length,
                             const Bytes* terminator, long g)
    : TcpPacket(kKind), maxLength(max), timeout(t), readLength(length), tag(g) {
    if (terminator) term = *terminator;
    if (buf) {
        buffer = std::move(buf);
        startOffset = offset;
        bufferOwner = false;
        originalBufferLength = buffer->size();
    } else {
        buffer = std::make_shared<Bytes>(readLength);
        startOffset = 0;
        bufferOwner = true;
        originalBufferLength = 0;
    }
}

void TcpReadPacket::ensureCapacityForAdditionalData(size_t n) {
    size_t r = room();
    if (r >= n) return;
    // An owned buffer that holds nothing of this read yet (a reused one keeps old bytes as room) would
    // carry those bytes over into a larger block for nothing.
    if (bufferOwner && bytesDone == 0 && n > buffer->capacity()) buffer->clear();
    buffer->resize(buffer->size() + (n - room()));
}

size_t TcpReadPacket::readLengthForNonTerm(size_t hint) const {
    if (readLength > 0) return std::min(hint, readLength - bytesDone);
    if (maxLength > 0) return std::min(hint, maxLength - bytesDone);
    return hint;
}

size_t TcpReadPacket::readLengthForTerm(size_t hint, bool* shouldPreBuffer) const {
    size_t r = hint;
    if (maxLength > 0) r = std::min(r, maxLength - bytesDone);
    if (shouldPreBuffer) *shouldPreBuffer = room() < r;
    return r;
}

size_t TcpReadPacket::optimalReadLength(size_t defaultValue, bool* shouldPreBuffer) const {
    if (readLength > 0) {
        if (shouldPreBuffer) *shouldPreBuffer = false;
        return readLength - bytesDone;
    }
    return readLengthForTerm(defaultValue, shouldPreBuffer);
}

size_t TcpReadPacket::readLengthForTerm(const TcpSocketPreBuffer& preBuffer, bool* found) const {
    const size_t p = preBuffer.availableBytes();
    const size_t t = term.size();
    if (bytesDone + p < t) return p;
    size_t m = p;
    if (maxLength > 0) m = std::min(m, maxLength - bytesDone);
    const uint8_t* pre = preBuffer.readBuffer();
    const uint8_t* tail = buffer->data() + startOffset + bytesDone;  // one past what was delivered
    const size_t k = std::min(bytesDone, t - 1);
    // Windows that start in the buffer's last k bytes and run on into the pre-buffer.
    for (size_t back = k; back > 0; --back) {
        size_t fromPre = t - back;
        if (fromPre > m) continue;
        if (std::memcmp(tail - back, term.data(), back) == 0 &&
            std::memcmp(pre, term.data() + back, fromPre) == 0) {
            if (found) *found = true;
            return fromPre;
        }
    }
    // Windows wholly inside the pre-buffer's first m bytes.
    const uint8_t* end = pre + m;
    const uint8_t* hit = std::search(pre, end, term.begin(), term.end());
    if (hit != end) {
        if (found) *found = true;
        return size_t(hit - pre) + t;
    }
    if (found) *found = false;
    return m;
}

long TcpReadPacket::searchForTermAfterPreBuffering(size_t n) const {
    const size_t t = term.size();
    const uint8_t* base = buffer->data() + startOffset;
    size_t from = bytesDone + 1 > t ? bytesDone + 1 - t : 0;
    const uint8_t* begin = base + from;
    const uint8_t* end = base + bytesDone + n;
    const uint8_t* hit = std::search(begin, end, term.begin(), term.end());
    if (hit == end) return -1;
    return long(end - (hit + t));
}

}  // namespace quill::net
