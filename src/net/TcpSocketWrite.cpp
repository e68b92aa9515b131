// Writing: queued write requests, each written with non-blocking send() calls driven by the write
// source, reporting partial progress and completing in order.

#include <sys/socket.h>

#include <cerrno>
#include <cmath>

#include "net/SocketErrors.h"
#include "net/TcpSocketImpl.h"

namespace quill::net {

using namespace tcp_detail;

void TcpSocket::writeData(Bytes data, double timeout, long tag) {
    if (data.empty()) return;
    writeData(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

void TcpSocket::writeData(SharedBytes data, double timeout, long tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<TcpWritePacket>(std::move(data), timeout, tag);
    impl_->asyncOnQueueOrHere([packet = std::move(packet)](Impl& s) {
        if ((s.flags_ & Impl::flagStarted) && !(s.flags_ & Impl::flagForbidReadsWrites)) {
            s.writeQueue_.push_back(packet);
            s.maybeDequeueWrite();
        }
    });
}

float TcpSocket::progressOfWriteReturningTag(long* tag, size_t* done, size_t* total) const {
    return impl_->onQueueSync([&, &currentWrite_ = impl_->currentWrite_] {
        if (!currentWrite_) {
            if (tag) *tag = 0;
            if (done) *done = 0;
            if (total) *total = 0;
            return NAN;
        }
        const size_t length = currentWrite_->buffer->size();
        if (tag) *tag = currentWrite_->tag;
        if (done) *done = currentWrite_->bytesDone;
        if (total) *total = length;
        return float(currentWrite_->bytesDone) / float(length);
    });
}

void TcpSocket::Impl::maybeDequeueWrite() {
    if (currentWrite_ || !(flags_ & flagConnected)) return;
    if (!writeQueue_.empty()) {
        auto next = writeQueue_.front();
        writeQueue_.pop_front();
        currentWrite_ = std::static_pointer_cast<TcpWritePacket>(next);
        startTimer(writeTimer_, currentWrite_->timeout, &Impl::doWriteTimeout);
        doWriteData();
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
    TcpWritePacket& pkt = *currentWrite_;
    const Bytes& data = *pkt.buffer;
    bool waiting = false;
    std::optional<Error> error;
    size_t written = 0;
    ssize_t r = ::send(connectedFD(), data.data() + pkt.bytesDone, data.size() - pkt.bytesDone, MSG_NOSIGNAL);
    if (r < 0) {
        if (wouldBlock(errno)) {
            waiting = true;
        } else {
            error = posixError(errno, "Error in write() function");
        }
    } else {
        written = size_t(r);
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
    const long tag = currentWrite_->tag;
    post([tag](TcpSocketDelegate& d, TcpSocket& s) { d.socketDidWriteDataWithTag(s, tag); });
    endCurrentWrite();
}

void TcpSocket::Impl::endCurrentWrite() {
    if (writeTimer_) writeTimer_->clearTimer();
    currentWrite_.reset();
}

void TcpSocket::Impl::doWriteTimeoutWithExtension(const std::shared_ptr<TcpWritePacket>& packet,
                                                  double extension) {
    if (!currentWrite_ || currentWrite_ != packet) return;
    if (extension > 0) {
        currentWrite_->timeout += extension;
        if (writeTimer_) writeTimer_->setTimer(extension, 0, 0);
        flags_ &= ~flagWritesPaused;
        doWriteData();
    } else {
        closeWithError(writeTimeoutError());
    }
}

}  // namespace quill::net
