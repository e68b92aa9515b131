// Writing: queued write requests, each written with non-blocking send() calls driven by the write
// source, reporting partial progress and completing in order.

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "net/SocketErrors.h"
#include "net/TcpSocketImpl.h"

namespace quill::net {

void TcpSocket::writeData(Bytes data, double timeout, long tag) {
    if (data.empty()) return;
    writeData(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

void TcpSocket::writeData(SharedBytes data, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<TcpWritePacket>(std::move(data), timeout, tag);
    impl_->queueRequest(
        [packet = std::move(packet)](Impl& s) {
            if (!(s.flags_ & Impl::flagStarted) || (s.flags_ & Impl::flagForbidReadsWrites)) return false;
            s.writeQueue_.push_back(packet);
            return true;
        },
        &Impl::maybeDequeueWrite);
}

float TcpSocket::progressOfWriteReturningTag(long* tag, size_t* done, size_t* total) const {
    return impl_->queue_.sync([&, &s = *impl_] {
        const TcpWritePacket* pkt = s.writePacket();
        if (!pkt) {
            if (tag) *tag = 0;
            if (done) *done = 0;
            if (total) *total = 0;
            return NAN;
        }
        const size_t length = pkt->buffer->size();
        if (tag) *tag = pkt->tag;
        if (done) *done = pkt->bytesDone;
        if (total) *total = length;
        return float(pkt->bytesDone) / float(length);
    });
}

void TcpSocket::Impl::maybeDequeueWrite() {
    if (currentWrite_ || !(flags_ & flagConnected)) return;
    if (!writeQueue_.empty()) {
        auto next = writeQueue_.front();
        writeQueue_.pop_front();
        currentWrite_ = std::move(next);
        if (TcpWritePacket* pkt = writePacket()) {
            startTimer(writeTimer_, pkt->timeout, &Impl::doWriteTimeout);
            doWriteData();
        } else {
            // The marker of a TLS upgrade: the upgrade starts once the read side reaches its marker too.
            flags_ |= flagStartingWriteTLS;
            maybeStartTLS();
        }
    } else if (flags_ & flagDisconnectAfterWrites) {
        const bool readsPending = currentRead_ || !readQueue_.empty();
        if (!((flags_ & flagDisconnectAfterReads) && readsPending)) closeWithError(std::nullopt);
    }
}

void TcpSocket::Impl::doWriteData() {
    if (!currentWrite_ || (flags_ & flagWritesPaused)) {
        if (flags_ & flagCanAcceptBytes) suspendWriteSource();
        return;
    }
    if (!(flags_ & flagCanAcceptBytes)) {
        resumeWriteSource();
        return;
    }
    if (flags_ & flagStartingWriteTLS) {
        // The current write is the marker of a TLS upgrade. Once both sides have reached it, the
        // handshake may be waiting to write; before that nothing is written.
        if ((flags_ & flagStartingReadTLS) &&
            lastSSLHandshakeError_ == platform::securetransport::errSSLWouldBlock) {
            sslContinueHandshake();
        } else {
            suspendWriteSource();
        }
        return;
    }
    TcpWritePacket& pkt = *writePacket();
    const Bytes& data = *pkt.buffer;
    bool waiting = false;
    std::optional<Error> error;
    size_t written = 0;
    if (flags_ & flagSecure) {
        namespace st = platform::securetransport;
        if (sslWriteCachedLength_ > 0) {
            // The context took these bytes when its last write would have blocked; send them first.
            size_t processed = 0;
            const OSStatus status = sslContext_->write(nullptr, 0, &processed);
            if (status == st::noErr) {
                written = sslWriteCachedLength_;
                sslWriteCachedLength_ = 0;
            } else if (status == st::errSSLWouldBlock) {
                waiting = true;
            } else {
                error = sslError(status);
            }
        }
        constexpr size_t kTlsWriteChunk = 32768;
        size_t offset = pkt.bytesDone + written;
        while (!waiting && !error && offset < data.size()) {
            const size_t chunk = std::min(kTlsWriteChunk, data.size() - offset);
            size_t processed = 0;
            const OSStatus status = sslContext_->write(data.data() + offset, chunk, &processed);
            if (status == st::noErr) {
                written += processed;
                offset += processed;
            } else if (status == st::errSSLWouldBlock) {
                waiting = true;
                sslWriteCachedLength_ = chunk;
            } else {
                error = sslError(status);
            }
        }
    } else {
        ssize_t r = sendNoSignal(connectedFD(), data.data() + pkt.bytesDone, data.size() - pkt.bytesDone);
        if (r < 0) {
            if (wouldBlock(errno)) {
                waiting = true;
            } else {
                error = posixError(errno, "Error in write() function");
            }
        } else {
            written = size_t(r);
        }
    }
    if (waiting) {
        flags_ &= ~flagCanAcceptBytes;
        resumeWriteSource();
    }
    bool done = false;
    if (written > 0) {
        pkt.bytesDone += written;
        done = pkt.bytesDone == data.size();
    }
    if (done) {
        completeCurrentWrite();
        // The next write starts in a later block.
        if (!error) asyncOnQueue([](Impl& s) { s.maybeDequeueWrite(); });
    } else {
        if (!waiting && !error) {
            flags_ &= ~flagCanAcceptBytes;
            resumeWriteSource();
        }
        if (written > 0) {
            const long tag = pkt.tag;
            post([written, tag](TcpSocketDelegate& d, TcpSocket& s) {
                d.socketDidWritePartialDataOfLength(s, written, tag);
            });
        }
    }
    if (error) closeWithError(error);
}

void TcpSocket::Impl::completeCurrentWrite() {
    const long tag = writePacket()->tag;
    post([tag](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidWriteDataWithTag(s, tag); });
    endCurrentWrite();
}

void TcpSocket::Impl::endCurrentWrite() {
    if (writeTimer_) writeTimer_->clearTimer();
    currentWrite_.reset();
}

void TcpSocket::Impl::doWriteTimeoutWithExtension(const std::shared_ptr<TcpPacket>& packet,
                                                  double extension) {
    if (!currentWrite_ || currentWrite_ != packet) return;
    if (extension > 0) {
        writePacket()->timeout += extension;
        if (writeTimer_) writeTimer_->setTimer(extension, 0, 0);
        flags_ &= ~flagWritesPaused;
        doWriteData();
    } else {
        closeWithError(writeTimeoutError());
    }
}

}  // namespace quill::net
