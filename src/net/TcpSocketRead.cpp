// Reading: queued read requests served in order from the pre-buffer and then from the descriptor, the
// read loop with its three kinds of request, and end of stream (also half-duplex).

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "net/SocketErrors.h"
#include "net/TcpSocketImpl.h"

namespace quill::net {

void TcpSocket::readDataWithTimeout(double timeout, long tag) {
    impl_->queueRead(std::make_shared<TcpReadPacket>(nullptr, 0, 0, timeout, 0, nullptr, tag));
}

void TcpSocket::readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, size_t offset, long tag) {
    readDataWithTimeout(timeout, std::move(buffer), offset, 0, tag);
}

void TcpSocket::readDataWithTimeout(double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                                    size_t maxLength, long tag) {
    if (buffer && offset > buffer->size()) return;
    if (!buffer) offset = 0;
    impl_->queueRead(
        std::make_shared<TcpReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, nullptr, tag));
}

void TcpSocket::readDataToLength(size_t length, double timeout, long tag) {
    readDataToLength(length, timeout, nullptr, 0, tag);
}

void TcpSocket::readDataToLength(size_t length, double timeout, std::shared_ptr<Bytes> buffer, size_t offset,
                                 long tag) {
    if (length == 0) return;
    if (buffer && offset > buffer->size()) return;
    if (!buffer) offset = 0;
    impl_->queueRead(
        std::make_shared<TcpReadPacket>(std::move(buffer), offset, 0, timeout, length, nullptr, tag));
}

void TcpSocket::readDataToData(const Bytes& terminator, double timeout, long tag) {
    readDataToData(terminator, timeout, nullptr, 0, 0, tag);
}

void TcpSocket::readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer,
                               size_t offset, long tag) {
    readDataToData(terminator, timeout, std::move(buffer), offset, 0, tag);
}

void TcpSocket::readDataToData(const Bytes& terminator, double timeout, size_t maxLength, long tag) {
    readDataToData(terminator, timeout, nullptr, 0, maxLength, tag);
}

void TcpSocket::readDataToData(const Bytes& terminator, double timeout, std::shared_ptr<Bytes> buffer,
                               size_t offset, size_t maxLength, long tag) {
    if (terminator.empty()) return;
    if (buffer && offset > buffer->size()) return;
    if (maxLength > 0 && maxLength < terminator.size()) return;
    if (!buffer) offset = 0;
    impl_->queueRead(
        std::make_shared<TcpReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, &terminator, tag));
}

void TcpSocket::Impl::queueRead(std::shared_ptr<TcpReadPacket> packet) {
    queueRequest(
        [packet = std::move(packet)](Impl& s) {
            if (!(s.flags_ & flagStarted) || (s.flags_ & flagForbidReadsWrites)) return false;
            s.readQueue_.push_back(packet);
            return true;
        },
        &Impl::maybeDequeueRead);
}

float TcpSocket::progressOfReadReturningTag(long* tag, size_t* done, size_t* total) const {
    return impl_->queue_.sync([&, &s = *impl_] {
        const TcpReadPacket* pkt = s.readPacket();
        if (!pkt) {
            if (tag) *tag = 0;
            if (done) *done = 0;
            if (total) *total = 0;
            return NAN;
        }
        if (tag) *tag = pkt->tag;
        if (done) *done = pkt->bytesDone;
        if (total) *total = pkt->readLength;
        return pkt->readLength > 0 ? float(pkt->bytesDone) / float(pkt->readLength) : 1.0f;
    });
}

void TcpSocket::Impl::maybeDequeueRead() {
    if (currentRead_ || !(flags_ & flagConnected)) return;
    if (!readQueue_.empty()) {
        auto next = readQueue_.front();
        readQueue_.pop_front();
        currentRead_ = std::move(next);
        if (TcpReadPacket* pkt = readPacket()) {
            if (pkt->bufferOwner && pkt->buffer->empty()) {
                // A spare keeps its old bytes as room: growing a buffer writes zeros over all it adds,
                // and the read overwrites them anyway.
                if (auto spare = takeSpareReadBuffer()) pkt->buffer = std::move(spare);
            }
            startTimer(readTimer_, pkt->timeout, &Impl::doReadTimeout);
            doReadData();
        } else {
            // The marker of a TLS upgrade: the upgrade starts once the write side reaches its marker too.
            flags_ |= flagStartingReadTLS;
            maybeStartTLS();
        }
    } else if (flags_ & flagDisconnectAfterReads) {
        const bool writesPending = currentWrite_ || !writeQueue_.empty();
        if (!((flags_ & flagDisconnectAfterWrites) && writesPending)) closeWithError(std::nullopt);
    } else if (flags_ & flagSecure) {
        // Decrypt what waits, so that the TLS layer's own buffers do not hide it from the read source.
        flushSSLBuffers();
        if (preBuffer_.availableBytes() == 0) resumeReadSource();
    }
}

void TcpSocket::Impl::doReadData() {
    if (!currentRead_ || (flags_ & flagReadsPaused)) {
        if (flags_ & flagSecure) flushSSLBuffers();
        // Nothing consumes the bytes; a running source would fire without end.
        if (socketFDBytesAvailable_ > 0) suspendReadSource();
        return;
    }
    // The count of the last read event may be stale: more may have arrived since, also while no event
    // has been delivered yet. Reading what is there now saves read calls and trips through the queue.
    if (!(flags_ & flagHasReadEOF)) {
        int now = 0;
        if (::ioctl(connectedFD(), FIONREAD, &now) == 0 && size_t(now) > socketFDBytesAvailable_)
            socketFDBytesAvailable_ = size_t(now);
    }
    const bool secure = flags_ & flagSecure;
    const size_t estimate = socketFDBytesAvailable_ + (secure ? sslBufferedBytes() : 0);
    const bool socketHasBytes = estimate > 0;
    if (!socketHasBytes && preBuffer_.availableBytes() == 0) {
        resumeReadSource();
        return;
    }
    if (flags_ & flagStartingReadTLS) {
        // The current read is the marker of a TLS upgrade. Once both sides have reached it, the
        // handshake waits for these bytes; before that nothing may consume them.
        if ((flags_ & flagStartingWriteTLS) &&
            lastSSLHandshakeError_ == platform::securetransport::errSSLWouldBlock) {
            sslContinueHandshake();
        } else {
            suspendReadSource();
        }
        return;
    }
    // Keep the packet alive across callbacks that may end it.
    std::shared_ptr<TcpPacket> packet = currentRead_;
    TcpReadPacket& pkt = *readPacket();
    bool done = false;
    std::optional<Error> error;
    size_t totalBytesRead = 0;

    auto checkMaxLength = [&] {
        if (!done && pkt.maxLength > 0 && pkt.bytesDone >= pkt.maxLength) error = readMaxedOutError();
    };
    auto takeFromPreBuffer = [&](size_t n) {
        pkt.ensureCapacityForAdditionalData(n);
        std::memcpy(pkt.writePosition(), preBuffer_.readBuffer(), n);
        preBuffer_.didRead(n);
        pkt.bytesDone += n;
        totalBytesRead += n;
    };

    // Step A: what is already staged.
    if (preBuffer_.availableBytes() > 0) {
        if (pkt.isTerminator()) {
            takeFromPreBuffer(pkt.readLengthForTerm(preBuffer_, &done));
            checkMaxLength();
        } else {
            takeFromPreBuffer(pkt.readLengthForNonTerm(preBuffer_.availableBytes()));
            if (pkt.isFixedLength()) {
                done = pkt.bytesDone == pkt.readLength;
            } else {
                done = pkt.maxLength > 0 && pkt.bytesDone == pkt.maxLength;
            }
        }
    }

    bool eof = flags_ & flagHasReadEOF;
    bool waiting = !done && !error && !eof && !socketHasBytes;

    // Step B: the descriptor, through the TLS layer when secure.
    if (!done && !error && !eof && socketHasBytes) {
        bool viaPreBuffer = false;
        size_t length;
        if (secure) {
            // TLS records may decrypt to more than the kernel announced: a generous length, and the
            // pre-buffer when the packet's buffer lacks the room.
            constexpr size_t kTlsReadLength = 32768;
            length = pkt.optimalReadLength(estimate > kTlsReadLength ? estimate + 16384 : kTlsReadLength,
                                           &viaPreBuffer);
        } else if (pkt.isTerminator()) {
            length = pkt.readLengthForTerm(estimate, &viaPreBuffer);
        } else {
            length = pkt.readLengthForNonTerm(estimate);
        }
        uint8_t* target;
        if (viaPreBuffer) {
            preBuffer_.ensureCapacityForWrite(length);
            target = preBuffer_.writeBuffer();
        } else {
            pkt.ensureCapacityForAdditionalData(length);
            target = pkt.writePosition();
        }
        size_t got = 0;
        if (secure) {
            namespace st = platform::securetransport;
            OSStatus status = st::noErr;
            while (got < length) {
                size_t n = 0;
                status = sslContext_->read(target + got, length - got, &n);
                got += n;
                if (status != st::noErr) break;
            }
            if (status == st::errSSLWouldBlock) {
                waiting = true;
            } else if (status == st::errSSLClosedGraceful || status == st::errSSLClosedAbort) {
                eof = true;
                sslErrCode_ = status;
            } else if (status != st::noErr) {
                error = sslError(status);
            }
        } else {
            ssize_t r = length > 0 ? ::read(connectedFD(), target, length) : -1;
            if (length == 0) errno = EAGAIN;
            if (r < 0) {
                if (wouldBlock(errno)) {
                    waiting = true;
                } else {
                    error = posixError(errno, "Error in read() function");
                }
                socketFDBytesAvailable_ = 0;
            } else if (r == 0) {
                eof = true;
                socketFDBytesAvailable_ = 0;
            } else {
                got = size_t(r);
                if (got < length) {
                    socketFDBytesAvailable_ = 0;
                } else {
                    socketFDBytesAvailable_ -= std::min(got, socketFDBytesAvailable_);
                }
                if (socketFDBytesAvailable_ == 0) waiting = true;
            }
        }
        if (got > 0) {
            if (pkt.isFixedLength()) {
                pkt.bytesDone += got;
                totalBytesRead += got;
                done = pkt.bytesDone == pkt.readLength;
            } else if (pkt.isTerminator()) {
                if (viaPreBuffer) {
                    preBuffer_.didWrite(got);
                    takeFromPreBuffer(pkt.readLengthForTerm(preBuffer_, &done));
                } else {
                    long overflow = pkt.searchForTermAfterPreBuffering(got);
                    if (overflow == 0) {
                        pkt.bytesDone += got;
                        totalBytesRead += got;
                        done = true;
                    } else if (overflow > 0) {
                        // Bytes beyond the terminator wait in the pre-buffer for the next read.
                        const size_t over = size_t(overflow);
                        const size_t used = got - over;
                        preBuffer_.ensureCapacityForWrite(over);
                        std::memcpy(preBuffer_.writeBuffer(), pkt.writePosition() + used, over);
                        preBuffer_.didWrite(over);
                        pkt.bytesDone += used;
                        totalBytesRead += used;
                        done = true;
                    } else {
                        pkt.bytesDone += got;
                        totalBytesRead += got;
                    }
                }
                checkMaxLength();
            } else if (viaPreBuffer) {
                preBuffer_.didWrite(got);
                takeFromPreBuffer(got);
                done = true;
            } else {
                pkt.bytesDone += got;
                totalBytesRead += got;
                done = true;
            }
        }
    }

    if (!done && !pkt.isTerminator() && !pkt.isFixedLength() && totalBytesRead > 0) done = true;

    if (done) {
        completeCurrentRead();
        if (!error && (!eof || preBuffer_.availableBytes() > 0)) maybeDequeueRead();
    } else if (totalBytesRead > 0) {
        waiting = true;
        const long tag = pkt.tag;
        post([totalBytesRead, tag](TcpSocketDelegate& d, TcpSocket& s) {
            d.socketDidReadPartialDataOfLength(s, totalBytesRead, tag);
        });
    }

    if (error) {
        closeWithError(error);
    } else if (eof) {
        doReadEOF();
    } else if (waiting) {
        resumeReadSource();
    }
}

void TcpSocket::Impl::doReadEOF() {
    flags_ |= flagHasReadEOF;
    if (flags_ & flagSecure) flushSSLBuffers();
    bool shouldDisconnect;
    std::optional<Error> error;
    if (flags_ & (flagStartingReadTLS | flagStartingWriteTLS)) {
        // The stream ended in the middle of the handshake.
        shouldDisconnect = true;
        error = sslError(platform::securetransport::errSSLClosedAbort);
    } else if (flags_ & flagReadStreamClosed) {
        shouldDisconnect = false;
    } else if (preBuffer_.availableBytes() > 0) {
        // Queued reads can still take these.
        shouldDisconnect = false;
    } else if (config_ & configAllowHalfDuplex) {
        // After a reset the descriptor reports writable together with an error or hang-up: not writable.
        pollfd p{connectedFD(), POLLOUT, 0};
        ::poll(&p, 1, 0);
        const bool writable = (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
        if (writable) {
            shouldDisconnect = false;
            flags_ |= flagReadStreamClosed;
            post([](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidCloseReadStream(s); });
        } else {
            shouldDisconnect = true;
        }
    } else {
        shouldDisconnect = true;
    }
    if (shouldDisconnect) {
        namespace st = platform::securetransport;
        if (!error) {
            OSStatus status = sslErrCode_;
            // A TLS stream that ends without the peer's close alert was cut short, and what came last
            // may be missing: that is a closed abort, also when no TLS read happened to meet the end.
            if ((flags_ & flagSecure) && status == st::noErr) status = st::errSSLClosedAbort;
            error = status != st::noErr && status != st::errSSLClosedGraceful ? sslError(status)
                                                                              : connectionClosedError();
        }
        closeWithError(error);
    } else {
        suspendReadSource();
    }
}

void TcpSocket::Impl::completeCurrentRead() {
    TcpReadPacket& pkt = *readPacket();
    const long tag = pkt.tag;
    if (pkt.bufferOwner) {
        pkt.buffer->resize(pkt.bytesDone);
        // The packet is done with its buffer; the callback alone holds it, so it can come back as a spare.
        post([data = std::move(pkt.buffer), tag](TcpSocketDelegate& d, TcpSocket& s) mutable {
            d.socketDidReadData(s, *data, tag);
            s.impl_->keepSpareReadBuffer(std::move(data));
        });
    } else {
        if (pkt.buffer->size() > pkt.originalBufferLength)
            pkt.buffer->resize(std::max(pkt.startOffset + pkt.bytesDone, pkt.originalBufferLength));
        auto begin = pkt.buffer->begin() + std::ptrdiff_t(pkt.startOffset);
        Bytes result(begin, begin + std::ptrdiff_t(pkt.bytesDone));
        post([data = std::move(result), tag](TcpSocketDelegate& d, TcpSocket& s) {
            d.socketDidReadData(s, data, tag);
        });
    }
    endCurrentRead();
}

void TcpSocket::Impl::keepSpareReadBuffer(std::shared_ptr<Bytes> buffer) {
    // Still held elsewhere (the packet may not be released yet), or too big to keep: let it go.
    constexpr size_t kLargestSpare = 4 << 20;
    constexpr size_t kSpares = 2;
    if (buffer.use_count() != 1 || buffer->capacity() > kLargestSpare) return;
    std::lock_guard lock(spareReadBuffersMutex_);
    if (spareReadBuffers_.size() < kSpares) {
        spareReadBuffers_.push_back(std::move(buffer));
        return;
    }
    // Full: keep the larger ones, which serve every read size.
    auto smallest =
        std::min_element(spareReadBuffers_.begin(), spareReadBuffers_.end(),
                         [](const auto& a, const auto& b) { return a->capacity() < b->capacity(); });
    if ((*smallest)->capacity() < buffer->capacity()) *smallest = std::move(buffer);
}

std::shared_ptr<Bytes> TcpSocket::Impl::takeSpareReadBuffer() {
    std::lock_guard lock(spareReadBuffersMutex_);
    if (spareReadBuffers_.empty()) return nullptr;
    auto buffer = std::move(spareReadBuffers_.back());
    spareReadBuffers_.pop_back();
    return buffer;
}

void TcpSocket::Impl::endCurrentRead() {
    // The timer serves the next read too; the connection's end cancels it.
    if (readTimer_) readTimer_->clearTimer();
    currentRead_.reset();
}

void TcpSocket::Impl::doReadTimeoutWithExtension(const std::shared_ptr<TcpPacket>& packet, double extension) {
    // A late answer about a read that has since ended must not act on a newer one.
    if (!currentRead_ || currentRead_ != packet) return;
    if (extension > 0) {
        readPacket()->timeout += extension;
        if (readTimer_) readTimer_->setTimer(extension, 0, 0);
        flags_ &= ~flagReadsPaused;
        doReadData();
    } else {
        closeWithError(readTimeoutError());
    }
}

}  // namespace quill::net
